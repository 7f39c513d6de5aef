"""Basis functions, overlap integrals and natural transition orbitals.

Shared by the NWChem-backed stand-ins of g16, formchk, voskSNTO and voskwfn.

Basis: Cartesian Gaussians as NWChem builds them from its basis library (SP
shells split into an s and a p shell; components p: x y z, d: xx xy xz yy yz
zz).  Every component of a shell carries the normalisation of its x^l
component, and each contracted shell is normalised as a whole, as NWChem
does; so d_xy has norm 1/sqrt(3).  The MO coefficients of a .movecs file are
orthonormal under this metric (checked by `orthonormality_error`).

NTO layout (as Gaussian and Multiwfn write NTO files): orbitals 1..nocc are
the holes with the largest eigenvalue last (at the HOMO's place), orbitals
nocc+1..nbf the particles with the largest eigenvalue first (at the LUMO's
place).  The eigenvalues stand in the alpha orbital energy section.
"""
import math
import os

import numpy as np

CARTESIAN = {0: [(0, 0, 0)], 1: [(1, 0, 0), (0, 1, 0), (0, 0, 1)],
             2: [(2, 0, 0), (1, 1, 0), (1, 0, 1), (0, 2, 0), (0, 1, 1), (0, 0, 2)]}
SYMBOL = ["Bq", "H", "He", "Li", "Be", "B", "C", "N", "O", "F", "Ne",
          "Na", "Mg", "Al", "Si", "P", "S", "Cl", "Ar"]
LIBRARY_DIR = os.environ.get("NWCHEM_BASIS_LIBRARY", "/usr/share/nwchem/libraries")


def library_file(basis):
    """NWChem's library file of a basis name: 6-31G* -> 6-31gs."""
    return os.path.join(LIBRARY_DIR, basis.lower().replace("*", "s"))


def read_library_shells(basis, symbol):
    """[(l, exponents, coefficients)] of one element, SP shells split."""
    path = library_file(basis)
    with open(path) as f:
        lines = f.read().splitlines()
    head = 'basis "%s_%s"' % (symbol, basis.upper())
    start = next((i for i, ln in enumerate(lines) if ln.upper().startswith(head.upper())), None)
    if start is None:
        raise ValueError("no %s basis for %s in %s" % (basis, symbol, path))
    shells = []
    for ln in lines[start + 1:]:
        w = ln.split()
        if not w or w[0].startswith("#"):
            continue
        if w[0].lower() == "end":
            break
        if w[0].isalpha():
            kind = w[1].upper()
            shells.append([kind, [], [], []])
        else:
            kind, ex, c1, c2 = shells[-1]
            ex.append(float(w[0]))
            c1.append(float(w[1]))
            if kind == "SP":
                c2.append(float(w[2]))
    out = []
    for kind, ex, c1, c2 in shells:
        if kind == "SP":
            out += [(0, ex, c1), (1, ex, c2)]
        else:
            out.append(("SPD".index(kind), ex, c1))
    return out


def library_shells(basis, z):
    """Shells of a molecule as the library gives them: (atom, l, exponents,
    contraction coefficients)."""
    return [(atom, l, ex, c) for atom, zz in enumerate(z) for l, ex, c in read_library_shells(basis, SYMBOL[zz])]


def normalise_shells(raw):
    """(atom, l, exponents, coefficients with primitive norms) as NWChem uses them."""
    return [(atom, l, np.array(ex, float), normalised(l, np.array(ex, float), np.array(c, float)))
            for atom, l, ex, c in raw]


def build_shells(basis, z):
    return normalise_shells(library_shells(basis, z))


def double_factorial(n):
    return 1 if n <= 0 else n * double_factorial(n - 2)


def normalised(l, ex, c):
    """Contraction coefficients times primitive norms (x^l component), the
    contracted x^l function normalised to one."""
    prim = (2 * ex / math.pi) ** 0.75 * (4 * ex) ** (l / 2) / math.sqrt(double_factorial(2 * l - 1))
    d = c * prim
    p = ex[:, None] + ex[None, :]
    s = (math.pi / p) ** 1.5 * double_factorial(2 * l - 1) / (2 * p) ** l
    return d / math.sqrt(d @ s @ d)


def count_functions(shells):
    return sum(len(CARTESIAN[l]) for _, l, _, _ in shells)


def overlap_1d(i, j, pa, pb, p):
    """Obara-Saika table S[0..i][0..j] of one Cartesian direction, without the
    Gaussian prefactor."""
    s = np.zeros((i + 1, j + 1))
    s[0, 0] = 1.0
    for a in range(i + 1):
        for b in range(j + 1):
            if a == 0 and b == 0:
                continue
            if a > 0:
                v = pa * s[a - 1, b]
                if a > 1:
                    v += (a - 1) * s[a - 2, b] / (2 * p)
                if b > 0:
                    v += b * s[a - 1, b - 1] / (2 * p)
            else:
                v = pb * s[a, b - 1]
                if b > 1:
                    v += (b - 1) * s[a, b - 2] / (2 * p)
            s[a, b] = v
    return s


def overlap_matrix(shells, xyz_a, xyz_b):
    """AO overlap <chi_mu(geometry A) | chi_nu(geometry B)>, same basis on both
    geometries (coordinates in bohr, atoms x 3)."""
    n = count_functions(shells)
    S = np.zeros((n, n))
    offsets = np.cumsum([0] + [len(CARTESIAN[l]) for _, l, _, _ in shells])
    for si, (ai, li, ei, ci) in enumerate(shells):
        A = np.asarray(xyz_a[ai])
        for sj, (aj, lj, ej, cj) in enumerate(shells):
            B = np.asarray(xyz_b[aj])
            block = np.zeros((len(CARTESIAN[li]), len(CARTESIAN[lj])))
            for alpha, da in zip(ei, ci):
                for beta, db in zip(ej, cj):
                    p = alpha + beta
                    P = (alpha * A + beta * B) / p
                    pre = da * db * (math.pi / p) ** 1.5 * math.exp(-alpha * beta / p * np.dot(A - B, A - B))
                    tables = [overlap_1d(li, lj, P[k] - A[k], P[k] - B[k], p) for k in range(3)]
                    for u, (lx, ly, lz) in enumerate(CARTESIAN[li]):
                        for v, (mx, my, mz) in enumerate(CARTESIAN[lj]):
                            block[u, v] += pre * tables[0][lx, mx] * tables[1][ly, my] * tables[2][lz, mz]
            S[offsets[si]:offsets[si + 1], offsets[sj]:offsets[sj + 1]] = block
    return S


def mirror_operator(shells, xyz, z, axis, tol=1e-3):
    """Matrix R of the reflection that negates coordinate `axis`, acting on
    the AO coefficients (R c are the coefficients of the reflected orbital),
    or None when the molecule is not symmetric under it."""
    xyz = np.asarray(xyz)
    image = xyz.copy()
    image[:, axis] *= -1
    partner = []
    for a in range(len(z)):
        d = np.linalg.norm(xyz - image[a], axis=1)
        b = int(np.argmin(d))
        if d[b] > tol or z[b] != z[a]:
            return None
        partner.append(b)
    first = {}                                   # (atom, shell number on atom) -> first function
    counts, k = {}, 0
    for atom, l, _, _ in shells:
        n = counts.get(atom, 0)
        first[(atom, n)] = k
        counts[atom] = n + 1
        k += len(CARTESIAN[l])
    R = np.zeros((k, k))
    seen = {}
    for atom, l, _, _ in shells:
        n = seen.get(atom, 0)
        seen[atom] = n + 1
        src, dst = first[(atom, n)], first[(partner[atom], n)]
        for u, powers in enumerate(CARTESIAN[l]):
            R[dst + u, src + u] = (-1) ** powers[axis]
    return R


def parity(c, S, R):
    """<c|R c> / <c|c>: +1 for an orbital symmetric under R, -1 antisymmetric."""
    return float(c @ S @ (R @ c) / (c @ S @ c))


def orthonormality_error(mo, S):
    """Largest deviation of MO^T S MO from the unit matrix."""
    return float(np.max(np.abs(mo.T @ S @ mo - np.eye(mo.shape[1]))))


def transition_svd(xpy):
    """SVD of one state's X+Y (nocc x nvir), normalised to unit weight:
    (hole vectors in the occupied space, eigenvalues, particle vectors in the
    virtual space), largest first."""
    t = np.asarray(xpy)
    t = t / np.linalg.norm(t)
    u, s, vt = np.linalg.svd(t, full_matrices=True)
    return u, s ** 2, vt.T


def nto_orbitals(mo, nocc, xpy):
    """NTO coefficients (nbf x nmo) and eigenvalues in the NTO file layout."""
    u, lam, v = transition_svd(xpy)
    nmo = mo.shape[1]
    k = len(lam)
    holes = mo[:, :nocc] @ u            # columns: largest eigenvalue first
    parts = mo[:, nocc:] @ v
    coef = np.hstack([holes[:, ::-1], parts])
    eig = np.zeros(nmo)
    eig[nocc - k:nocc] = lam[::-1]
    eig[nocc:nocc + k] = lam
    return coef, eig


# C2v orbital labels from the parities under the reflections x -> -x (the
# molecular plane is x = 0) and y -> -y.
IRREP = {(1, 1): "a1", (-1, -1): "a2", (-1, 1): "b1", (1, -1): "b2"}
ORBITAL_KIND = {"a1": "sigma", "a2": "a2", "b1": "pi", "b2": "n"}


def leading_pair(mo, nocc, xpy):
    """AO coefficients of the hole and particle of the leading NTO pair, and
    its eigenvalue."""
    u, lam, v = transition_svd(xpy)
    return mo[:, :nocc] @ u[:, 0], mo[:, nocc:] @ v[:, 0], float(lam[0])


def orbital_irrep(c, S, mirrors):
    """C2v label of an orbital, "?" when it has no clear parity."""
    if any(R is None for R in mirrors):
        return "?"
    p = tuple(parity(c, S, R) for R in mirrors)
    if any(abs(abs(v) - 1) > 0.1 for v in p):
        return "?"
    return IRREP[tuple(1 if v > 0 else -1 for v in p)]


def character(hole, particle):
    """Label of a state from its hole and particle, e.g. pi->pi* (b1->b1)."""
    kind = ORBITAL_KIND.get(hole, "?") + "->" + ORBITAL_KIND.get(particle, "?") + "*"
    return "%s (%s->%s)" % (kind, hole, particle)


def snto_range(eig, threshold):
    """First and last orbital (1-based) whose |eigenvalue| exceeds the
    threshold; all orbitals when none does."""
    idx = [i + 1 for i, e in enumerate(eig) if abs(e) > threshold]
    return (idx[0], idx[-1]) if idx else (1, len(eig))


def snto(eig_ref, diag, first, last):
    """Sum of |lambda_ref(k)| |S_kk| over k = first..last within 1..n."""
    n = len(eig_ref)
    return abs(sum(abs(eig_ref[k - 1]) * abs(diag[k - 1]) for k in range(max(first, 1), min(last, n) + 1)))


# Formatted-checkpoint text, the layout formchk writes and quorin reads.
def fchk_scalar(name, value):
    if isinstance(value, (int, np.integer)):
        return "%-40s   I     %12d\n" % (name, value)
    return "%-40s   R     %22.15E\n" % (name, value)


def fchk_array(name, values):
    values = np.ravel(values)
    if values.dtype.kind in "iu":
        text = "%-40s   I   N=%12d\n" % (name, len(values))
        rows = ["".join("%12d" % v for v in values[i:i + 6]) for i in range(0, len(values), 6)]
    else:
        text = "%-40s   R   N=%12d\n" % (name, len(values))
        rows = ["".join(" %15.8E" % v for v in values[i:i + 5]) for i in range(0, len(values), 5)]
    return text + "".join(r + "\n" for r in rows)


def read_fchk(path):
    """Sections of a formatted checkpoint: name -> int, float or numpy array."""
    out = {}
    with open(path) as f:
        lines = f.read().splitlines()
    i = 2                      # title and job-type lines
    while i < len(lines):
        ln = lines[i]
        i += 1
        if len(ln) < 44 or ln[43] not in "IR" or ln[0] == " ":
            continue
        name, kind, rest = ln[:40].strip(), ln[43], ln[44:].split()
        if rest and rest[0] == "N=":
            n, vals = int(rest[1]), []
            while len(vals) < n:
                vals += lines[i].split()
                i += 1
            out[name] = np.array([int(v) for v in vals]) if kind == "I" else np.array([float(v) for v in vals])
        elif rest:
            out[name] = int(rest[0]) if kind == "I" else float(rest[0])
    return out


def geometry_text(f):
    """Sections describing the molecule and its basis (the shell arrays of
    formchk, with NWChem's Cartesian component order)."""
    return "".join([fchk_scalar("Number of atoms", len(f["z"])), fchk_array("Atomic numbers", f["z"]),
                    fchk_array("Current cartesian coordinates", f["xyz"]),
                    fchk_array("Shell types", f["shell_types"]),
                    fchk_array("Number of primitives per shell", f["nprim"]),
                    fchk_array("Shell to atom map", f["shell_atoms"]),
                    fchk_array("Primitive exponents", f["exponents"]),
                    fchk_array("Contraction coefficients", f["coefficients"])])


def shell_arrays(raw):
    """formchk's shell arrays (1-based atoms) from library shells."""
    return {"shell_types": np.array([l for _, l, _, _ in raw]),
            "nprim": np.array([len(ex) for _, _, ex, _ in raw]),
            "shell_atoms": np.array([a + 1 for a, _, _, _ in raw]),
            "exponents": np.concatenate([ex for _, _, ex, _ in raw]),
            "coefficients": np.concatenate([c for _, _, _, c in raw])}


def molecule_from_fchk(d):
    """(atomic numbers, coordinates in bohr, normalised shells) of a formatted checkpoint."""
    z = d["Atomic numbers"]
    xyz = d["Current cartesian coordinates"].reshape(len(z), 3)
    raw, p = [], 0
    for l, n, a in zip(d["Shell types"], d["Number of primitives per shell"], d["Shell to atom map"]):
        raw.append((int(a) - 1, int(l), d["Primitive exponents"][p:p + n], d["Contraction coefficients"][p:p + n]))
        p += n
    return z, xyz, raw


def mo_matrix(d, name="Alpha MO coefficients"):
    """Coefficients as columns (nbf x nmo); the file holds them orbital by orbital."""
    nbf = d["Number of basis functions"]
    return d[name].reshape(-1, nbf).T


# NTO files and overlaps between the NTOs of two geometries, shared by
# voskSNTO and voskwfn.
def write_nto_file(fchk, state, path):
    """NTO file of a state (1-based) of a formatted checkpoint of formchk."""
    d = read_fchk(fchk)
    nroots = len(d["Excitation Energies"])
    if not 1 <= state <= nroots:
        raise ValueError("state %d does not exist (%d excited states in %s)" % (state, nroots, fchk))
    nocc, nbf = d["X+Y Occupied Orbitals"], d["Number of basis functions"]
    mo = mo_matrix(d)
    xpy = d["X+Y Vectors"].reshape(nroots, nocc, mo.shape[1] - nocc)[state - 1]
    coef, eig = nto_orbitals(mo, nocc, xpy)
    z, xyz, raw = molecule_from_fchk(d)
    text = "NTOs of excited state %d of %s\nSP        NTO\n" % (state, fchk)
    text += fchk_scalar("Number of alpha electrons", int(nocc)) + fchk_scalar("Number of basis functions", int(nbf))
    text += geometry_text({"z": z, "xyz": xyz, **shell_arrays(raw)})
    text += fchk_array("Alpha Orbital Energies", eig) + fchk_array("Alpha MO coefficients", coef.T)
    with open(path, "w") as f:
        f.write(text)


def read_nto_file(path):
    """(eigenvalues, coefficients nbf x nmo, shells, coordinates) of an NTO file."""
    d = read_fchk(path)
    z, xyz, raw = molecule_from_fchk(d)
    return d["Alpha Orbital Energies"], mo_matrix(d), normalise_shells(raw), xyz


def diagonal_overlaps(ref_path, cand_path):
    """<NTO_k(reference geometry) | NTO_k(candidate geometry)> for every k."""
    eig_r, c_r, shells, xyz_r = read_nto_file(ref_path)
    _, c_c, _, xyz_c = read_nto_file(cand_path)
    S = overlap_matrix(shells, xyz_r, xyz_c)
    return np.einsum("mk,mn,nk->k", c_r, S, c_c), eig_r
