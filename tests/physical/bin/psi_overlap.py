"""AO overlap integrals between two geometries computed by psi4.

A second overlap engine beside ntos.overlap_matrix, sharing none of its
code: the shells of a formatted checkpoint (library exponents and raw
contraction coefficients) become a psi4 basis (Cartesian, normalised by
psi4, which like NWChem gives every component of a shell the norm of its
x^l component), and psi4's MintsHelper.ao_overlap(bs1, bs2) integrates
between the basis on geometry A and the same basis on geometry B.

psi4 comes from Debian's package and runs under /usr/bin/python3; its module
lies where `psi4 --psiapi-path` says.
"""
import os
import subprocess
import sys

import numpy as np

SYMBOL = ["Bq", "H", "He", "Li", "Be", "B", "C", "N", "O", "F", "Ne",
          "Na", "Mg", "Al", "Si", "P", "S", "Cl", "Ar"]
_psi4 = None


def module_dirs():
    """Directories `psi4 --psiapi-path` adds to PYTHONPATH."""
    try:
        text = subprocess.run(["psi4", "--psiapi-path"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True, check=False).stdout
    except OSError:
        return []
    dirs = []
    for line in text.splitlines():
        if line.startswith("export PYTHONPATH="):
            dirs += [d for d in line.split("=", 1)[1].split(":") if d and not d.startswith("$")]
    return dirs


def psi4_module():
    global _psi4
    if _psi4 is None:
        for d in module_dirs():
            if d not in sys.path:
                sys.path.append(d)
        import psi4  # noqa: E402
        psi4.core.be_quiet()
        _psi4 = psi4
    return _psi4


def available():
    try:
        psi4_module()
        return True
    except ImportError:
        return False


def gbs_text(z, raw):
    """A Cartesian basis in psi4's gbs format from shells (atom, l, exponents,
    coefficients); one block per element (its first atom's shells)."""
    blocks, seen = ["cartesian"], set()
    for atom, zz in enumerate(z):
        sym = SYMBOL[int(zz)]
        if sym in seen:
            continue
        seen.add(sym)
        lines = ["****", "%s 0" % sym]
        for a, l, ex, c in raw:
            if a != atom:
                continue
            lines.append("%s %d 1.00" % ("SPDF"[int(l)], len(ex)))
            lines += ["  %.10E  %.10E" % (e, cc) for e, cc in zip(ex, c)]
        blocks += lines
    blocks.append("****")
    return "\n".join(blocks) + "\n"


def basis_on(z, xyz, raw):
    psi4 = psi4_module()
    atoms = "\n".join("%s %.12f %.12f %.12f" % (SYMBOL[int(zz)], *x) for zz, x in zip(z, np.asarray(xyz)))
    mol = psi4.core.Molecule.from_string("units bohr\nno_reorient\nno_com\nsymmetry c1\n%s\n" % atoms)
    mol.update_geometry()
    text = gbs_text(z, raw)

    def define(m, role):
        m.set_basis_all_atoms("quorin_basis", role=role)
        return {"quorin_basis": text}

    return psi4.core.BasisSet.build(mol, "ORBITAL", define, puream=0, quiet=True)


def overlap(z, raw, xyz_a, xyz_b):
    """<chi_mu(A) | chi_nu(B)> (nbf x nbf) for one basis on two geometries (bohr)."""
    psi4 = psi4_module()
    a, b = basis_on(z, xyz_a, raw), basis_on(z, xyz_b, raw)
    return np.asarray(psi4.core.MintsHelper(a).ao_overlap(a, b))


if __name__ == "__main__":      # a quick look: psi4 found or not
    print("psi4 module in %s: %s" % (os.pathsep.join(module_dirs()), "yes" if available() else "no"))
