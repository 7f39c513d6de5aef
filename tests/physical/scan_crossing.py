#!/usr/bin/python3
"""Scan of formaldehyde's six lowest singlet states along the first step of
the physical runs: from the ground-state minimum (run_case.START) to the
geometry of step 2 (the same in every mode, since step 1 is root 3 in all),
by linear interpolation.  Prints, per point, each state's excitation energy,
character and oscillator strength, as the g16 stand-in computes them.

    scan_crossing.py SUMMARY_TXT [POINTS]     (SUMMARY_TXT: outer_job's --summary of a run)
"""
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "bin"))
import nwtd  # noqa: E402
import run_case  # noqa: E402


def main(argv):
    steps = run_case.read_steps(os.path.dirname(os.path.abspath(argv[1])))
    points = int(argv[2]) if len(argv) > 2 else 6
    lines = run_case.START.splitlines()[1:]
    z = [int(ln.split()[0]) for ln in lines]
    a = np.array([[float(v) for v in ln.split()[1:]] for ln in lines])
    b = np.array(steps[2][2]).reshape(-1, 3)
    print("| t | CO (bohr) | " + " | ".join("S%d" % k for k in range(1, 7)) + " |")
    print("|---|---|" + "---|" * 6)
    for t in np.linspace(0.0, 1.0, points):
        xyz = (1 - t) * a + t * b
        job = {"atoms": [(nwtd.ntos.SYMBOL[zz], list(x * nwtd.BOHR_ANGSTROM)) for zz, x in zip(z, xyz)],
               "charge": 0, "mult": 1, "method": "b3lyp", "basis": "6-31G*", "root": run_case.ROOT,
               "nstate": run_case.ROOT + run_case.NADD, "triplet": False, "kind": "sp"}
        chk, _ = nwtd.run(job)
        states = nwtd.state_characters(chk)[0]
        cells = ["%.2f eV %s f=%.3f" % (s["ev"], s["character"].split()[0], s["f"]) for s in states]
        print("| %.2f | %.3f | %s |" % (t, np.linalg.norm(xyz[1] - xyz[0]), " | ".join(cells)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
