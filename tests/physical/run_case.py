#!/usr/bin/python3
"""One physical run: quorin follows an excited state of formaldehyde through
an optimisation driven by the outer-job stand-in, with NWChem behind g16
(B3LYP/6-31G*, Cartesian d, 6 singlet states, root 3 at the B3LYP
ground-state geometry).

    run_case.py MODE --quorin EXE --outer-job EXE --workdir DIR

MODE: adiabatic (root 3 at every step), vosksnto or voskwfn (diabatic, force
first).  Each run must converge (outer_job status 0); MAX_STEPS only bounds a
run that would not (they converge in 11 steps or fewer).

From the stand-ins' own record (every inner job: the C2v character of each
state's leading NTO pair, its oscillator strength, energies and forces) the
run is checked:
  - every step handed back the energy and forces of one inner force job;
  - adiabatic: that job is root 3 at every step, and its character changes;
  - diabatic: its character is the start character at every step, and that
    character has moved away from root 3 at some step (the crossing).
Writes steps.md (the per-step table) in the work directory.  Exit status 77
when NWChem or numpy is not installed (the test is skipped)."""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77
ROOT, NADD = 3, 3
MAXSTEP, MAX_STEPS = 0.1, 15      # bohr; gradient calls
# B3LYP/6-31G* (Cartesian d) ground-state minimum, optimised with NWChem,
# molecular plane x = 0, C=O along z; bohr.
START = """4 0 1
6   0.000000000000   0.000000000000  -0.997552296508
8   0.000000000000   0.000000000000   1.282357378898
1   0.000000000000   1.772173996090  -2.121323596435
1   0.000000000000  -1.772173996090  -2.121323596435
"""
MODES = {"adiabatic": ("false", "false"), "vosksnto": ("true", "true"), "voskwfn": ("true", "false")}


def missing_tools():
    gone = [t for t in ("nwchem", "mpirun", "psi4") if not shutil.which(t)]
    try:
        import numpy  # noqa: F401
    except ImportError:
        gone.append("python3-numpy")
    else:
        sys.path.insert(0, os.path.join(HERE, "bin"))
        import psi_overlap
        if "psi4" not in gone and not psi_overlap.available():
            gone.append("psi4's Python module")
    return gone


def read_steps(workdir):
    """Summary lines of outer_job: step -> (energy, max|g|, coordinates)."""
    steps = {}
    for line in open(os.path.join(workdir, "summary.txt")):
        w = line.split()
        steps[int(w[0])] = (float(w[2]), float(w[3]), [float(v) for v in w[5:]])
    return steps


def quorin_lines(workdir):
    """Per step, quorin's SNTO values and chosen state from the outer log."""
    out, step = {}, None
    for line in open(os.path.join(workdir, "outer.log")):
        m = re.match(r" Step (\d+)$", line.rstrip())
        if m:
            step = int(m.group(1))
            out[step] = {"snto": {}, "chosen": None}
        elif step is not None:
            m = re.match(r"\s*State\s+(\d+)\s*:\s*SNTO =\s*(\S+)", line)
            if m:
                out[step]["snto"][int(m.group(1))] = float(m.group(2))
            m = re.search(r"Updated diabatic state index =\s*(\d+)", line)
            if m:
                out[step]["chosen"] = int(m.group(1))
    return out


def analyse(mode, workdir, status, failures):
    def check(ok, what):
        if not ok:
            failures.append(what)
        return ok

    steps = read_steps(workdir)
    jobs = [json.loads(ln) for ln in open(os.path.join(workdir, "record.jsonl"))]
    qlines = quorin_lines(workdir)
    rows, start = [], None
    for n in sorted(steps):
        energy, gmax, coords = steps[n]
        mine = [j for j in jobs if max(abs(a - b) for a, b in zip(sum(j["xyz"], []), coords)) < 1e-6]
        forces = [j for j in mine if j["kind"] == "force"]
        if not check(forces, "step %d: no inner force job at its geometry" % n):
            continue
        job = forces[-1]                 # the gradient quorin handed back
        check(all(j["mo_orthonormality_error"] < 1e-8 for j in mine),
              "step %d: the stand-ins' basis does not reproduce NWChem's overlap" % n)
        check(all(j["mo_orthonormality_error_psi4"] < 1e-8 for j in mine),
              "step %d: psi4's overlaps do not reproduce NWChem's" % n)
        check(abs(job["energy"] - energy) < 1e-8,
              "step %d: handed-back energy %.12f is not the inner job's %.12f" % (n, energy, job["energy"]))
        check(abs(max(abs(v) for f in job["forces"] for v in f) - gmax) < 1e-8,
              "step %d: handed-back gradient is not the inner job's" % n)
        state = job["states"][job["root"] - 1]
        if start is None:
            start = job["states"][ROOT - 1]["character"]
        q = qlines.get(n, {})
        if mode != "adiabatic" and n > 1:
            check(q.get("chosen") == job["root"],
                  "step %d: quorin reports state %s, the handed-back job is root %d" % (n, q.get("chosen"), job["root"]))
        rows.append({"step": n, "energy": energy, "gmax": gmax, "root": job["root"], "character": state["character"],
                     "f": state["f"], "roots": [j["root"] for j in mine], "snto": q.get("snto", {}),
                     "states": job["states"]})
    kept = [r["character"] == start for r in rows]
    moved = [r["root"] != ROOT for r in rows]
    if mode == "adiabatic":
        check(all(r["root"] == ROOT for r in rows), "the adiabatic run did not hand back root %d at every step" % ROOT)
        check(not all(kept), "the adiabatic run's root %d kept its character %s at every step" % (ROOT, start))
    else:
        for r, k in zip(rows, kept):
            check(k, "step %d: handed back state %d of character %s, not %s" % (r["step"], r["root"], r["character"], start))
        check(any(moved), "the followed character never left root %d: no crossing was passed" % ROOT)
    check("?" not in (start or "?"), "no C2v character for root %d at the start geometry" % ROOT)
    check(status == 0, "the optimisation did not converge: outer_job status %d after %d steps" % (status, len(steps)))
    check(len(rows) == len(steps) and rows, "not every step could be analysed")
    write_table(mode, workdir, rows, start)


def write_table(mode, workdir, rows, start):
    lines = ["Run %s, start character of root %d: %s" % (mode, ROOT, start), "",
             "| step | E handed back (hartree) | max grad | state handed back | its character | f | jobs (roots) "
             "| SNTO (state: value) | states 1-6 at this geometry: character, f |",
             "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        snto = ", ".join("%d: %.3f" % (k, v) for k, v in sorted(r["snto"].items())) or "-"
        allst = "; ".join("%d %s %.3f" % (s["state"], s["character"].split()[0], s["f"]) for s in r["states"])
        lines.append("| %d | %.9f | %.5f | %d | %s | %.4f | %s | %s | %s |" % (
            r["step"], r["energy"], r["gmax"], r["root"], r["character"], r["f"],
            " ".join(map(str, r["roots"])), snto, allst))
    text = "\n".join(lines) + "\n"
    with open(os.path.join(workdir, "steps.md"), "w") as f:
        f.write(text)
    print(text)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=sorted(MODES))
    ap.add_argument("--quorin", required=True)
    ap.add_argument("--outer-job", required=True)
    ap.add_argument("--workdir", required=True)
    a = ap.parse_args()
    gone = missing_tools()
    if gone:
        print("SKIP: the physical runs need NWChem, numpy and psi4 (apt-get install nwchem python3-numpy psi4); missing: "
              + ", ".join(gone))
        return SKIP
    work = os.path.abspath(a.workdir)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    sdnto, vosksnto = MODES[a.mode]
    with open(os.path.join(work, "quorin.toml"), "w") as f:
        f.write("[quorin]\nmethod = b3lyp\nbasis = 6-31G*\nroot = %d\nnadd = %d\nsdnto = %s\nvosksnto = %s\n"
                "sntofirst = false\nsntorange = -1\nntothre = 0.3\nmem = 1GB\nnproc = 2\n" % (ROOT, NADD, sdnto, vosksnto))
    with open(os.path.join(work, "h2co.geom"), "w") as f:
        f.write(START)
    env = dict(os.environ, PATH=os.path.join(HERE, "bin") + os.pathsep + os.environ.get("PATH", ""),
               QUORIN_PHYSICAL_RECORD=os.path.join(work, "record.jsonl"))
    cmd = [os.path.abspath(a.outer_job), "--geom", "h2co.geom", "--maxstep", str(MAXSTEP),
           "--max-steps", str(MAX_STEPS), "--log", "outer.log", "--summary", "summary.txt", "--",
           os.path.abspath(a.quorin), "quorin.toml"]
    status = subprocess.run(cmd, cwd=work, env=env).returncode
    failures = []
    analyse(a.mode, work, status, failures)
    for f in failures:
        print("FAIL: " + f)
    print("%d passed, %d failed" % (1 if not failures else 0, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
