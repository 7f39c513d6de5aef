#!/usr/bin/python3
"""quorin's frequency step on real physics, and the optimisation restarted
along the imaginary mode it finds.

    run_freq.py freq    --from VOSKSNTO_DIR --quorin EXE --outer-job EXE --workdir DIR
    run_freq.py restart --from FREQ_DIR     --quorin EXE --outer-job EXE --workdir DIR

freq: at the end point of the diabatic formaldehyde run (run_case.py
vosksnto; its temp/ with quorin's state file is copied), one outer call with
derivative level 2.  quorin runs its Hessian-only workflow for the state the
diabatic run followed; the g16 stand-in builds the Hessian of that root by
central differences of NWChem's analytic gradients; outer_job projects out
translations and rotations and prints the harmonic frequencies and writes
the modes.  Checked: the frequency job is for the followed root; the finite
difference Hessian is symmetric and its displaced jobs stayed on one state;
outer_job's frequencies are numpy's own from the recorded Hessian; the point
is a saddle with one imaginary frequency, the out-of-plane wag (x is the
normal of the molecular plane: both H move one way along x, C the other).

restart: the end point displaced by RESTART_DISPLACEMENT bohr along that
mode, optimised again diabatically with sntofirst = true (single point,
SNTO, then the force of the chosen state) and a frequency step at the end.
Checked: it converges, below the saddle, pyramidal, to a minimum (no
imaginary frequency), and the state handed back at every step keeps the
character of the state followed at the saddle (leading NTO pair projected on
the saddle's C2v orbitals, characters.py).

Each writes report.md in its work directory.  Exit status 77 when NWChem,
numpy or psi4 is missing."""
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
import run_case  # noqa: E402

RESTART_DISPLACEMENT = 0.8   # bohr, Cartesian norm of the displacement (H about 0.55 bohr out of plane)
RESTART_MAXSTEP = 0.3        # bohr: the pyramidal minimum lies about 1 bohr (H motion) away
MAX_STEPS = 30
AMU_ME = 1822.888486
HARTREE_CM = 219474.6313632
HARTREE_EV = 27.211386245988
MASS = {1: 1.00782504, 6: 12.0, 7: 14.00307401, 8: 15.99491464, 9: 18.99840325}


def frequencies(hessian, z, xyz):
    """Harmonic frequencies (cm^-1, imaginary negative) and Cartesian modes
    of a Hessian, translations and rotations projected out (numpy)."""
    m = np.repeat([MASS[int(v)] for v in z], 3)
    sm = np.sqrt(m)
    x = np.asarray(xyz).reshape(-1, 3)
    r = x - (m.reshape(-1, 3)[:, 0] @ x) / m.reshape(-1, 3)[:, 0].sum()
    rigid = []
    for k in range(3):
        t = np.zeros_like(r)
        t[:, k] = 1.0
        rigid.append((t.ravel()) * sm)
        rot = np.cross(np.eye(3)[k], r)
        rigid.append(rot.ravel() * sm)
    q, sv, _ = np.linalg.svd(np.array(rigid).T, full_matrices=False)
    q = q[:, sv > 1e-6 * sv[0]]
    P = np.eye(len(m)) - q @ q.T
    mw = np.asarray(hessian) / np.outer(sm, sm) / AMU_ME
    w, v = np.linalg.eigh(P @ mw @ P)
    keep = [i for i in range(len(w)) if np.sum((q.T @ v[:, i]) ** 2) < 0.5]
    f = np.array([np.sign(w[i]) * np.sqrt(abs(w[i])) * HARTREE_CM for i in keep])
    modes = np.array([v[:, i] / sm for i in keep])
    modes /= np.linalg.norm(modes, axis=1)[:, None]
    return f, modes


def read_modes(path):
    """outer_job's --modes file: [(frequency, N x 3 displacement)]."""
    out = []
    for line in open(path):
        w = line.split()
        if w and w[0] == "mode":
            out.append((float(w[2]), []))
        elif w:
            out[-1][1].append([float(v) for v in w])
    return [(f, np.array(d)) for f, d in out]


def outer_frequencies(workdir):
    vals = []
    for line in open(os.path.join(workdir, "outer.log")):
        if line.startswith(" Frequencies --"):
            vals += [float(v) for v in line.split()[2:]]
    return vals


def write_config(work, root, sntofirst):
    with open(os.path.join(work, "quorin.toml"), "w") as f:
        f.write("[quorin]\nmethod = b3lyp\nbasis = 6-31G*\nroot = %d\nnadd = %d\nsdnto = true\nvosksnto = true\n"
                "sntofirst = %s\nsntorange = -1\nntothre = 0.3\nmem = 1GB\nnproc = 2\n"
                % (root, run_case.NADD, "true" if sntofirst else "false"))


def write_geom(work, z, xyz):
    with open(os.path.join(work, "start.geom"), "w") as f:
        f.write("%d 0 1\n" % len(z))
        for zz, x in zip(z, np.asarray(xyz).reshape(-1, 3)):
            f.write("%d %.12f %.12f %.12f\n" % (zz, *x))


def run_outer(a, work, extra):
    env = dict(os.environ, PATH=os.path.join(HERE, "bin") + os.pathsep + os.environ.get("PATH", ""),
               QUORIN_PHYSICAL_RECORD=os.path.join(work, "record.jsonl"))
    cmd = [os.path.abspath(a.outer_job), "--geom", "start.geom", "--project", "--modes", "modes.txt",
           "--log", "outer.log", "--summary", "summary.txt"] + extra + ["--", os.path.abspath(a.quorin),
                                                                        "quorin.toml"]
    return subprocess.run(cmd, cwd=work, env=env).returncode


def records(workdir):
    return [json.loads(ln) for ln in open(os.path.join(workdir, "record.jsonl"))]


def at(jobs, coords):
    return [j for j in jobs if max(abs(a - b) for a, b in zip(sum(j["xyz"], []), coords)) < 1e-6]


def check_freq_job(work, z, xyz, root, energy_out, check, lines):
    """Checks of the one frequency job at xyz; returns (frequencies, modes, job)."""
    jobs = [j for j in at(records(work), xyz) if j["kind"] == "freq"]
    if not check(len(jobs) == 1, "no single frequency job at the geometry of the frequency step"):
        return None
    job = jobs[0]
    check(job["root"] == root, "the frequency job is for root %d, not the followed state %d" % (job["root"], root))
    check(job["hessian_asymmetry"] < 1e-3,
          "finite-difference Hessian asymmetric by %.2e hartree/bohr^2" % job["hessian_asymmetry"])
    check(job["fd_energy_spread"] < 1e-3,
          "a displaced gradient job left the state: energies differ by %.2e hartree" % job["fd_energy_spread"])
    check(abs(job["energy"] - energy_out) < 1e-8, "the frequency step handed back %.10f, the job's energy is %.10f"
          % (energy_out, job["energy"]))
    check(job["mo_orthonormality_error_psi4"] < 1e-8, "psi4's overlaps do not reproduce NWChem's")
    f, modes = frequencies(job["hessian"], z, xyz)
    outer = outer_frequencies(work)
    check(len(outer) == len(f) and np.allclose(outer, f, atol=run_case_tol()),
          "outer_job's frequencies %s are not numpy's %s" % (outer, np.round(f, 2).tolist()))
    lines += ["Frequency step: root %d, Hessian asymmetry before symmetrising %.1e hartree/bohr^2, energies of the "
              "%d displaced gradient jobs within %.1e hartree of the central one." % (
                  job["root"], job["hessian_asymmetry"], 2 * len(job["hessian"]), job["fd_energy_spread"]),
              "", "Harmonic frequencies (cm^-1; imaginary negative): " + ", ".join("%.1f" % v for v in f), ""]
    return f, modes, job


def run_case_tol():
    return 0.5   # cm^-1


def freq_mode(a, work, check, lines):
    src = os.path.abspath(a.source)
    steps = run_case.read_steps(src)
    last = max(steps)
    xyz = steps[last][2]
    src_jobs = records(src)
    followed = [j for j in at(src_jobs, xyz) if j["kind"] == "force"][-1]
    z = followed["z"]
    shutil.copytree(os.path.join(src, "temp"), os.path.join(work, "temp"))
    write_config(work, run_case.ROOT, False)
    write_geom(work, z, xyz)
    status = run_outer(a, work, ["--freq-only"])
    check(status == 0, "outer_job status %d" % status)
    log = open(os.path.join(work, "outer.log")).read()
    m = re.search(r"Frequency calculation root = (\d+)", log)
    check(m and int(m.group(1)) == followed["root"], "quorin's frequency root %s is not the followed state %d"
          % (m and m.group(1), followed["root"]))
    energy = run_case.read_steps(work)[1][0]
    lines += ["End point of the diabatic run (%s, step %d): state %d, %s, E = %.9f hartree." % (
        os.path.basename(src), last, followed["root"], followed["states"][followed["root"] - 1]["character"],
        followed["energy"]), ""]
    got = check_freq_job(work, z, xyz, followed["root"], energy, check, lines)
    if not got:
        return
    f, modes, job = got
    written = read_modes(os.path.join(work, "modes.txt"))
    check(len(written) == len(f) and all(abs(w[0] - v) < run_case_tol() for w, v in zip(written, f)),
          "outer_job's modes file does not list the frequencies")
    imag = [k for k, v in enumerate(f) if v < 0]
    if check(len(imag) == 1, "%d imaginary frequencies, expected one (a saddle point held by symmetry)" % len(imag)):
        d = modes[imag[0]].reshape(-1, 3)
        w = written[imag[0]][1]
        check(abs(abs(np.dot(d.ravel(), w.ravel())) - 1) < 1e-3, "outer_job's imaginary mode is not numpy's")
        out_of_plane = np.linalg.norm(d[:, 0]) ** 2
        check(out_of_plane > 0.99, "the imaginary mode is not out of plane (x share %.3f)" % out_of_plane)
        hx = d[[i for i, v in enumerate(z) if v == 1], 0]
        cx = d[[i for i, v in enumerate(z) if v == 6], 0]
        check(np.all(hx * hx[0] > 0) and np.all(cx * hx[0] < 0),
              "the imaginary mode is not the wag (H together one way, C the other)")
        lines += ["Imaginary mode %.1f cm^-1, Cartesian displacement (normalised):" % f[imag[0]], "",
                  "| atom | Z | dx | dy | dz |", "|---|---|---|---|---|"]
        lines += ["| %d | %d | %.4f | %.4f | %.4f |" % (i + 1, zz, *row) for i, (zz, row) in enumerate(zip(z, d))]
        lines.append("")


def restart_mode(a, work, check, lines):
    src = os.path.abspath(a.source)
    steps = run_case.read_steps(src)
    saddle_xyz = np.array(steps[1][2])
    saddle_e = steps[1][0]
    ref_job = [j for j in at(records(src), saddle_xyz) if j["kind"] == "freq"][0]
    root = ref_job["root"]
    z = ref_job["z"]
    modes = read_modes(os.path.join(src, "modes.txt"))
    freq, disp = min(modes, key=lambda m: m[0])
    check(freq < 0, "the frequency step found no imaginary mode to follow")
    start = saddle_xyz + RESTART_DISPLACEMENT * disp.ravel()
    write_config(work, root, True)
    write_geom(work, z, start)
    status = run_outer(a, work, ["--maxstep", str(RESTART_MAXSTEP), "--max-steps", str(MAX_STEPS), "--freq"])
    check(status == 0, "the restarted optimisation did not converge: outer_job status %d" % status)
    import characters
    ref = characters.Reference(ref_job, characters.c2v_names(ref_job))
    want = ref.character(ref_job, ref_job["states"][root - 1])
    jobs = records(work)
    qlines = run_case.quorin_lines(work)
    steps = run_case.read_steps(work)
    ider = {int(w.split()[0]): int(w.split()[1]) for w in open(os.path.join(work, "summary.txt"))}
    lines += ["Restart from the saddle (E = %.9f hartree, state %d, %s) displaced by %.2f bohr along the %.1f "
              "cm^-1 mode; `sntofirst = true`." % (saddle_e, root, want[0], RESTART_DISPLACEMENT, freq), "",
              "| step | E handed back (hartree) | max grad | jobs (kind root) | state handed back | its character "
              "(hole/particle weight on the saddle's MOs) | SNTO per candidate | pyramidalisation (deg) |",
              "|---|---|---|---|---|---|---|---|"]
    final = None
    for n in sorted(steps):
        energy, gmax, xyz = steps[n]
        mine = [j for j in at(jobs, xyz) if (j["kind"] == "freq") == (ider.get(n) == 2)]
        kinds = [j for j in mine if j["kind"] == ("freq" if ider.get(n) == 2 else "force")]
        if not check(kinds, "step %d: no force or frequency job at its geometry" % n):
            continue
        job = kinds[-1]
        check(abs(job["energy"] - energy) < 1e-8, "step %d: handed-back energy is not the job's" % n)
        check(all(j["mo_orthonormality_error_psi4"] < 1e-8 for j in mine), "step %d: psi4's overlaps" % n)
        st = job["states"][job["root"] - 1]
        label, hi, pa, wh, wp = ref.character(job, st)
        check((hi, pa) == (want[1], want[2]), "step %d: handed back state %d of character %s, not %s"
              % (n, job["root"], label, want[0]))
        q = qlines.get(n, {})
        if n > 1 and ider.get(n) == 1:
            check(q.get("chosen") == job["root"], "step %d: quorin reports state %s, the job is root %d"
                  % (n, q.get("chosen"), job["root"]))
            everything = at(jobs, xyz)
            check(everything and everything[0]["kind"] == "sp",
                  "step %d: the step did not start with a single-point job (sntofirst)" % n)
        snto = ", ".join("%d: %.3f" % (k, v) for k, v in sorted(q.get("snto", {}).items())) or "-"
        lines.append("| %d%s | %.9f | %.5f | %s | %d | %s (%.2f/%.2f) | %s | %.1f |" % (
            n, " (freq)" if ider.get(n) == 2 else "", energy, gmax,
            " ".join("%s %d" % (j["kind"], j["root"]) for j in mine), job["root"], label, wh, wp, snto,
            pyramidalisation(z, xyz)))
        final = (n, energy, xyz, job)
    lines.append("")
    if not final:
        return
    n, energy, xyz, job = final
    check(ider.get(n) == 2, "the run ended without its frequency step")
    drop = (saddle_e - energy) * HARTREE_EV
    check(drop > 0.05, "the restart ended only %.3f eV below the saddle" % drop)
    check(pyramidalisation(z, xyz) > 5.0, "the end point is not pyramidal")
    lines.append("End point %.3f eV below the saddle, pyramidalisation %.1f degrees." % (drop, pyramidalisation(z, xyz)))
    lines.append("")
    got = check_freq_job(work, z, xyz, job["root"], energy, check, lines)
    if got:
        check(min(got[0]) > 0, "the end point has an imaginary frequency: not a minimum")


def pyramidalisation(z, xyz):
    """Angle (degrees) between the C=O bond and the H-C-H plane, 0 when planar."""
    x = np.asarray(xyz).reshape(-1, 3)
    c, o = x[z.index(6)], x[z.index(8)]
    h = [x[i] for i, v in enumerate(z) if v == 1]
    normal = np.cross(h[0] - c, h[1] - c)
    co = o - c
    return abs(90.0 - np.degrees(np.arccos(abs(normal @ co) / np.linalg.norm(normal) / np.linalg.norm(co))))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=("freq", "restart"))
    ap.add_argument("--from", dest="source", required=True)
    ap.add_argument("--quorin", required=True)
    ap.add_argument("--outer-job", required=True)
    ap.add_argument("--workdir", required=True)
    a = ap.parse_args()
    gone = run_case.missing_tools()
    if gone:
        print("SKIP: the physical runs need NWChem, numpy and psi4; missing: " + ", ".join(gone))
        return run_case.SKIP
    work = os.path.abspath(a.workdir)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    failures, lines = [], []

    def check(ok, what):
        if not ok:
            failures.append(what)
        return ok

    try:
        (freq_mode if a.mode == "freq" else restart_mode)(a, work, check, lines)
    except (OSError, KeyError, IndexError, ValueError) as e:
        failures.append("could not analyse the run: %r" % e)
    text = "\n".join(lines) + "\n"
    with open(os.path.join(work, "report.md"), "w") as f:
        f.write(text)
    print(text)
    for f in failures:
        print("FAIL: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
