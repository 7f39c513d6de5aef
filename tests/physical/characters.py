"""Character of excited states without symmetry labels: the composition of
each state's leading NTO pair in the canonical orbitals of a reference job.

The g16 stand-in records, for every inner job, the canonical MOs and each
state's leading hole and particle (AO coefficients).  The hole of a state at
any geometry is projected onto the occupied MOs of the reference job, the
particle onto its virtual MOs, through the AO overlap between the two
geometries: weight_i = <phi_i(ref)|hole>^2.  The character is the pair of
reference orbitals with the largest weights, e.g. "7->9 (0.93/0.97)".  This
is computed from the record alone, independently of quorin and of the NTO
tools' SNTO values."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin"))
import ntos  # noqa: E402


class Reference:
    def __init__(self, job, names=None):
        self.job = job
        self.z = [int(v) for v in job["z"]]
        self.shells = ntos.build_shells(job["basis"], self.z)
        self.xyz = np.array(job["xyz"])
        self.mo = np.array(job["mo"])
        self.nocc = int(job["nocc"])
        self.names = names or {}
        self._cache = {}

    def name(self, i):
        """Name of reference MO i (1-based)."""
        return self.names.get(i, str(i))

    def overlap(self, xyz):
        key = tuple(np.round(np.ravel(xyz), 10))
        if key not in self._cache:
            self._cache[key] = ntos.overlap_matrix(self.shells, self.xyz, np.array(xyz))
        return self._cache[key]

    def composition(self, job, state):
        """(hole weights over the occupied reference MOs, particle weights
        over the virtual ones) of a state (dict from the record) of a job."""
        S = self.overlap(job["xyz"])
        h = self.mo[:, :self.nocc].T @ S @ np.array(state["hole_ao"])
        p = self.mo[:, self.nocc:].T @ S @ np.array(state["particle_ao"])
        return h ** 2, p ** 2

    def pairs(self, job, state):
        """Every recorded NTO pair of a state (eigenvalue above 0.1): its
        label, eigenvalue and hole/particle weights, e.g. for a state mixed
        at an avoided crossing "n(8)->sigma*(10) 0.55 + pi(7)->pi*(9) 0.40"."""
        out = []
        for pair in state.get("pairs", []):
            label, _, _, wh, wp = self.character(job, pair)
            out.append((label, pair["lambda"], wh, wp))
        return out

    def character(self, job, state):
        """(label, hole MO, particle MO, hole weight, particle weight)."""
        h, p = self.composition(job, state)
        i, a = int(np.argmax(h)), int(np.argmax(p))
        hi, pa = i + 1, self.nocc + a + 1
        label = "%s->%s" % (self.name(hi), self.name(pa))
        return label, hi, pa, float(h[i]), float(p[a])


def c2v_names(job):
    """Names of a C2v reference job's MOs: number and kind from the C2v label
    (sigma a1, pi b1, n b2; the molecular plane x = 0), virtual ones starred."""
    z = [int(v) for v in job["z"]]
    xyz = np.array(job["xyz"])
    shells = ntos.build_shells(job["basis"], z)
    S = ntos.overlap_matrix(shells, xyz, xyz)
    mirrors = [ntos.mirror_operator(shells, xyz, z, axis) for axis in (0, 1)]
    mo = np.array(job["mo"])
    names = {}
    for i in range(mo.shape[1]):
        kind = ntos.ORBITAL_KIND.get(ntos.orbital_irrep(mo[:, i], S, mirrors), "?")
        names[i + 1] = "%s%s(%d)" % (kind, "*" if i >= int(job["nocc"]) else "", i + 1)
    return names
