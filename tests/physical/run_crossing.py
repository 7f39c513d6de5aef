#!/usr/bin/python3
"""An avoided crossing without symmetry: formaldehyde started from a C1
geometry (the C2v minimum of run_case.py with every atom displaced), where
states that C2v keeps apart can mix: the pi->pi* state (root 4) crosses the
n->sigma* state in the first steps, and along the adiabatic path the two mix
strongly (each with two NTO pairs of comparable weight).

    run_crossing.py MODE --quorin EXE --outer-job EXE --workdir DIR [--freq]

MODE: adiabatic (root ROOT at every step), vosksnto or voskwfn (diabatic,
force first).  --freq adds quorin's frequency step at the end of a converged
run.

The character of every state at every step comes from the g16 stand-in's
record, independently of quorin: the state's leading NTO pair projected on
the canonical orbitals of a reference job at the C2v minimum, named by their
C2v labels (characters.py).  Checked, besides the bookkeeping of run_case.py
(the energy and gradient handed back are those of the step's last force job;
quorin's reported state is that job's root; psi4's and the stand-ins'
overlaps both reproduce NWChem's MO metric):
  - quorin's reference's own SNTO value at every step is the one computed
    here from the NTO eigenvalues of the state handed back at the step before
    (voskSNTO: its pairs above ntothre; voskwfn: the range of the first step);
  - quorin warns of a root change exactly where the state handed back changes
    its root;
  - adiabatic: root ROOT changes character during the run;
  - diabatic: the state handed back has the start character at every step,
    that character leaves root ROOT, and the run converges.
The steps where the choice is close (best SNTO
below HARD_BEST of the reference's own value, runner-up above HARD_RUNNER_UP
of the best) are listed, not required.
Writes steps.md (per step: every state's energy and character, the SNTO of
every candidate, the runner-up share, quorin's WARNING lines) and
steps.json in the work directory.  Exit status 77 when NWChem, numpy or
psi4 is missing."""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "bin"))
import characters  # noqa: E402
import run_case  # noqa: E402

ROOT, NADD = 4, 2
MAXSTEP = 0.1
MAX_STEPS = {"adiabatic": 12, "vosksnto": 20, "voskwfn": 20}
# bohr, added to run_case.START atom by atom (C, O, H, H).  The in-plane part
# (one H moved, y and z) couples pi->pi* (A1) with n->sigma* (B2) at first
# order; the smaller out-of-plane part (x) breaks the last mirror plane.
DISTORTION = np.array([[0.04, 0.00, 0.00],
                       [0.00, 0.00, 0.00],
                       [0.00, 0.15, 0.12],
                       [-0.06, 0.00, 0.00]])
HARD_BEST, HARD_RUNNER_UP = 0.8, 0.3
NTOTHRE = 0.3
# quorin's doubts about a choice (its other warnings are not about the state).
DOUBTS = re.compile(r"\s*WARNING: (Low SNTO|Ambiguous SNTO|Root change|Near-degenerate candidate)")
HARTREE_EV = 27.211386245988


def start_geometry():
    lines = run_case.START.splitlines()[1:]
    z = [int(ln.split()[0]) for ln in lines]
    xyz = np.array([[float(v) for v in ln.split()[1:]] for ln in lines])
    return z, xyz, xyz + DISTORTION


def reference_job(work, z, xyz):
    """A job at the C2v minimum whose canonical orbitals name the characters."""
    import nwtd
    job = {"atoms": [(nwtd.ntos.SYMBOL[zz], list(x * nwtd.BOHR_ANGSTROM)) for zz, x in zip(z, xyz)],
           "charge": 0, "mult": 1, "method": "b3lyp", "basis": "6-31G*", "root": ROOT, "nstate": ROOT + NADD,
           "triplet": False, "kind": "sp"}
    chk, _ = nwtd.run(job)
    ref = {"z": z, "xyz": chk["xyz"].tolist(), "basis": "6-31G*", "nocc": int(chk["nocc"]), "mo": chk["mo"].tolist()}
    with open(os.path.join(work, "reference.json"), "w") as f:
        json.dump(ref, f)
    return ref


def own_per_step(workdir):
    """quorin's "Reference's own SNTO value" per step."""
    out, step = {}, None
    for line in open(os.path.join(workdir, "outer.log")):
        m = re.match(r" Step (\d+)$", line.rstrip())
        if m:
            step = int(m.group(1))
        m = re.search(r"Reference's own SNTO value:\s*(\S+)", line)
        if m and step is not None:
            out[step] = float(m.group(1))
    return out


def warnings_per_step(workdir):
    out, step = {}, None
    for line in open(os.path.join(workdir, "outer.log")):
        m = re.match(r" Step (\d+)$", line.rstrip())
        if m:
            step = int(m.group(1))
            out[step] = []
        elif step is not None and DOUBTS.match(line):
            out[step].append(line.strip())
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=sorted(MAX_STEPS))
    ap.add_argument("--quorin", required=True)
    ap.add_argument("--outer-job", required=True)
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--freq", action="store_true")
    ap.add_argument("--analyse-only", action="store_true", help="analyse the run already in the work directory")
    a = ap.parse_args()
    gone = run_case.missing_tools()
    if gone:
        print("SKIP: the physical runs need NWChem, numpy and psi4; missing: " + ", ".join(gone))
        return run_case.SKIP
    work = os.path.abspath(a.workdir)
    if a.analyse_only:
        ref_job = json.load(open(os.path.join(work, "reference.json")))
        status = json.load(open(os.path.join(work, "steps.json")))["status"]
        return finish(a, work, status, ref_job)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    diabatic = a.mode != "adiabatic"
    with open(os.path.join(work, "quorin.toml"), "w") as f:
        f.write("[quorin]\nmethod = b3lyp\nbasis = 6-31G*\nroot = %d\nnadd = %d\nsdnto = %s\nvosksnto = %s\n"
                "sntofirst = false\nsntorange = -1\nntothre = 0.3\nmem = 1GB\nnproc = 2\n"
                % (ROOT, NADD, "true" if diabatic else "false", "true" if a.mode == "vosksnto" else "false"))
    z, c2v, start = start_geometry()
    with open(os.path.join(work, "start.geom"), "w") as f:
        f.write("%d 0 1\n" % len(z) + "".join("%d %.12f %.12f %.12f\n" % (zz, *x) for zz, x in zip(z, start)))
    ref_job = reference_job(work, z, c2v)
    env = dict(os.environ, PATH=os.path.join(HERE, "bin") + os.pathsep + os.environ.get("PATH", ""),
               QUORIN_PHYSICAL_RECORD=os.path.join(work, "record.jsonl"))
    cmd = [os.path.abspath(a.outer_job), "--geom", "start.geom", "--maxstep", str(MAXSTEP),
           "--max-steps", str(MAX_STEPS[a.mode]), "--log", "outer.log", "--summary", "summary.txt"]
    if a.freq:
        cmd += ["--freq", "--project", "--modes", "modes.txt"]
    status = subprocess.run(cmd + ["--", os.path.abspath(a.quorin), "quorin.toml"], cwd=work, env=env).returncode
    return finish(a, work, status, ref_job)


def finish(a, work, status, ref_job):
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)
        return ok

    try:
        analyse(a, work, status, ref_job, check)
    except (OSError, KeyError, IndexError, ValueError) as e:
        failures.append("could not analyse the run: %r" % e)
    for f in failures:
        print("FAIL: " + f)
    return 1 if failures else 0


def analyse(a, work, status, ref_job, check):
    ref = characters.Reference(ref_job, characters.c2v_names(ref_job))
    jobs = [json.loads(ln) for ln in open(os.path.join(work, "record.jsonl"))]
    steps = run_case.read_steps(work)
    ider = {int(w.split()[0]): int(w.split()[1]) for w in open(os.path.join(work, "summary.txt"))}
    qlines = run_case.quorin_lines(work)
    warns = warnings_per_step(work)
    owns = own_per_step(work)
    rows = []
    own, npairs, previous = None, None, None
    for n in sorted(steps):
        if ider[n] != 1:
            continue
        energy, gmax, xyz = steps[n]
        mine = [j for j in jobs if j["kind"] == "force"
                and max(abs(p - q) for p, q in zip(sum(j["xyz"], []), xyz)) < 1e-6]
        if not check(mine, "step %d: no force job at its geometry" % n):
            continue
        job = mine[-1]
        check(abs(job["energy"] - energy) < 1e-8, "step %d: handed-back energy is not the inner job's" % n)
        check(abs(max(abs(v) for f in job["forces"] for v in f) - gmax) < 1e-8,
              "step %d: handed-back gradient is not the inner job's" % n)
        check(all(j["mo_orthonormality_error"] < 1e-8 and j["mo_orthonormality_error_psi4"] < 1e-8 for j in mine),
              "step %d: an overlap engine does not reproduce NWChem's MO metric" % n)
        q = dict(qlines.get(n, {"snto": {}, "chosen": None}), own=owns.get(n))
        if a.mode != "adiabatic" and n > 1:
            check(q["chosen"] == job["root"], "step %d: quorin reports state %s, the job is root %d"
                  % (n, q["chosen"], job["root"]))
        # The SNTO of the reference with itself: the reference is the state
        # handed back at the step before; each NTO pair in the range counts
        # with its hole and its particle.  voskSNTO's range is the
        # reference's own pairs above ntothre; voskwfn's is the range quorin
        # made at the first step.
        lams = job["states"][job["root"] - 1]["nto_lambdas"]
        if npairs is None:
            npairs = max(1, sum(1 for v in lams if v > NTOTHRE))
        own = None
        if previous:
            own = 2 * sum(v for v in previous if v > NTOTHRE) if a.mode == "vosksnto" else 2 * sum(previous[:npairs])
        if own is not None and q.get("own") is not None:
            check(abs(own - q["own"]) < 1e-4, "step %d: the reference's own SNTO is %.6f, quorin says %.6f"
                  % (n, own, q["own"]))
        previous = lams
        chars = [ref.character(job, s) for s in job["states"]]
        vals = sorted(q["snto"].values(), reverse=True)
        rows.append({"step": n, "energy": energy, "gmax": gmax, "root": job["root"], "jobs": [j["root"] for j in mine],
                     "character": chars[job["root"] - 1][0],
                     "states": [{"state": s["state"], "ev": s["ev"], "f": s["f"], "character": c[0],
                                 "weights": [round(c[3], 3), round(c[4], 3)], "lambda": s["nto_lambda"],
                                 "pairs": " + ".join("%s %.2f" % (lab, lam) for lab, lam, _, _ in ref.pairs(job, s))}
                                for s, c in zip(job["states"], chars)],
                     "snto": q["snto"], "own": own, "best_share": vals[0] / own if vals and own else None,
                     "runner_up": vals[1] / vals[0] if len(vals) > 1 and vals[0] > 0 else None,
                     "warnings": warns.get(n, [])})
    start_char = rows[0]["character"] if rows else None
    for prev, r in zip(rows, rows[1:]):
        moved = r["root"] != prev["root"]
        said = any("Root change" in w for w in r["warnings"])
        check(moved == said or a.mode == "adiabatic", "step %d: root %d -> %d, but quorin %s a root change"
              % (r["step"], prev["root"], r["root"], "warned of" if said else "did not warn of"))
    if a.mode == "adiabatic":
        check(all(r["root"] == ROOT for r in rows), "the adiabatic run did not hand back root %d at every step" % ROOT)
        check(any(r["character"] != start_char for r in rows),
              "root %d kept its character %s at every step" % (ROOT, start_char))
    else:
        for r in rows:
            check(r["character"] == start_char, "step %d: handed back state %d of character %s, not %s"
                  % (r["step"], r["root"], r["character"], start_char))
        check(any(r["root"] != ROOT for r in rows), "the followed character never left root %d" % ROOT)
        check(status == 0, "the diabatic optimisation did not converge: outer_job status %d" % status)
        hard = [r["step"] for r in rows if r["best_share"] is not None and r["best_share"] < HARD_BEST
                and r["runner_up"] is not None and r["runner_up"] > HARD_RUNNER_UP]
        print("Steps where the best SNTO is below %.1f of the reference's own value with a runner-up above %.1f "
              "of the best: %s" % (HARD_BEST, HARD_RUNNER_UP, ", ".join(map(str, hard)) or "none"))
    extra = []
    freq_steps = [n for n in sorted(steps) if ider[n] == 2]
    if a.freq and check(freq_steps or status != 0, "the converged run made no frequency step"):
        if freq_steps:
            import run_freq
            energy, _, xyz = steps[freq_steps[0]]
            got = run_freq.check_freq_job(work, jobs[0]["z"], xyz, rows[-1]["root"], energy, check, extra)
            if got:
                extra.append("Imaginary frequencies: %d" % sum(1 for v in got[0] if v < 0))
    write_tables(a.mode, work, rows, status, extra)


def write_tables(mode, work, rows, status, extra):
    with open(os.path.join(work, "steps.json"), "w") as f:
        json.dump({"mode": mode, "status": status, "rows": rows, "extra": extra}, f, indent=1)
    lines = ["Run %s (outer_job status %d)" % (mode, status), "",
             "| step | E (hartree) | max grad | jobs (roots) | handed back | its character | reference's own SNTO "
             "| best SNTO / own "
             "| runner-up / best | SNTO per candidate | states: eV character (hole/particle weight) | warnings |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        snto = ", ".join("%s: %.3f" % (k, v) for k, v in sorted(r["snto"].items())) or "-"
        st = "; ".join("%d %.2f %s" % (s["state"], s["ev"], s["pairs"] or s["character"]) for s in r["states"])
        fmt = lambda v: "-" if v is None else "%.3f" % v  # noqa: E731
        lines.append("| %d | %.9f | %.5f | %s | %d | %s | %s | %s | %s | %s | %s | %s |" % (
            r["step"], r["energy"], r["gmax"], " ".join(map(str, r["jobs"])), r["root"], r["character"],
            fmt(r["own"]), fmt(r["best_share"]), fmt(r["runner_up"]), snto, st, " / ".join(r["warnings"]) or "-"))
    text = "\n".join(lines + [""] + extra) + "\n"
    with open(os.path.join(work, "steps.md"), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    sys.exit(main())
