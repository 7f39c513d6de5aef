#!/usr/bin/python3
"""Scan of formaldehyde's six lowest singlet states between two steps of a
physical run, by linear interpolation of the geometries.  Prints, per point,
each state's excitation energy, character and oscillator strength, as the
g16 stand-in computes them.

    scan_crossing.py RUN_DIR [POINTS [STEP_A STEP_B]]

RUN_DIR is the work directory of a run or its summary.txt (the geometries);
by default the scan goes from run_case.START to step 2 (the first step of the
runs of run_case.py).  When RUN_DIR holds reference.json (run_crossing.py),
characters are the leading NTO pair projected on that reference's C2v
orbitals (characters.py), else the C2v labels of the pair itself.
"""
import json
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "bin"))
sys.path.insert(0, HERE)
import characters  # noqa: E402
import nwtd  # noqa: E402
import run_case  # noqa: E402


def main(argv):
    run = os.path.abspath(argv[1])
    if os.path.isfile(run):          # a run's summary.txt
        run = os.path.dirname(run)
    steps = run_case.read_steps(run)
    points = int(argv[2]) if len(argv) > 2 else 6
    lines = run_case.START.splitlines()[1:]
    z = [int(ln.split()[0]) for ln in lines]
    if len(argv) > 4:
        a, b = (np.array(steps[int(s)][2]).reshape(-1, 3) for s in argv[3:5])
    else:
        a = np.array([[float(v) for v in ln.split()[1:]] for ln in lines])
        b = np.array(steps[2][2]).reshape(-1, 3)
    ref = None
    if os.path.exists(os.path.join(run, "reference.json")):
        rj = json.load(open(os.path.join(run, "reference.json")))
        ref = characters.Reference(rj, characters.c2v_names(rj))
    print("| t | CO (bohr) | " + " | ".join("S%d" % k for k in range(1, 7)) + " |")
    print("|---|---|" + "---|" * 6)
    for t in np.linspace(0.0, 1.0, points):
        xyz = (1 - t) * a + t * b
        job = {"atoms": [(nwtd.ntos.SYMBOL[zz], list(x * nwtd.BOHR_ANGSTROM)) for zz, x in zip(z, xyz)],
               "charge": 0, "mult": 1, "method": "b3lyp", "basis": "6-31G*", "root": 1,
               "nstate": 6, "triplet": False, "kind": "sp"}
        chk, _ = nwtd.run(job)
        states = nwtd.state_characters(chk)[0]
        if ref:
            rec = {"xyz": chk["xyz"].tolist()}
            names = []
            for s in states:
                label, _, _, wh, wp = ref.character(rec, s)
                names.append("%s (%.2f/%.2f)" % (label, wh, wp))
        else:
            names = [s["character"].split()[0] for s in states]
        cells = ["%.2f eV %s f=%.3f" % (s["ev"], n, s["f"]) for s, n in zip(states, names)]
        print("| %.2f | %.3f | %s |" % (t, np.linalg.norm(xyz[1] - xyz[0]), " | ".join(cells)))
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
