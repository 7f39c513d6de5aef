#!/usr/bin/python3
"""Whole-process benchmark of quorin's frequency and gradient steps.

    python3 bench/run_bench.py [BUILD_DIR] [--sizes 10,100,1000,2000] [--repeat N] [--keep]

For each atom count N it writes a formatted checkpoint (a frequency job's:
coordinates, energy, gradient and the 3N(3N+1)/2 force constants in
Gaussian's 5(1X,ES15.8) layout) and an External input file, and runs one
frequency step of BUILD_DIR/quorin in a directory of its own.  g16 and
formchk are stand-ins that cost nothing: shell scripts that hard-link the
prepared log and checkpoint into temp/.  In the same run it compiles
freq_baseline.f90 (gfortran, -O2) and runs it on the same checkpoint: a
plain Fortran program doing the same file work with list-directed reads and
(3D20.12) writes.  `cat` of the checkpoint is the I/O floor.

Then it runs one gradient step (adiabatic mode) on a synthetic 50 MB inner
log and compares it with `cat` of that log and of its checkpoint.

Times are wall-clock medians over the repeats; peak memory is the maximum
resident set of the process (wait4's ru_maxrss).  The exit status is 1 when
a target is missed:

  * N = 1000: quorin at least 10 times faster than the baseline, peak
    memory under 32 MiB, External output byte-identical to the baseline's;
  * N = 2000: peak memory within 1.2 times that of N = 1000, time growing no
    faster than the checkpoint's size;
  * every N: output byte-identical to the baseline's;
  * gradient step: quorin's time at most 3 times `cat` of log and checkpoint.
"""
import argparse
import filecmp
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TIME = "/usr/bin/time"  # GNU time (Debian package "time")


# ---------------------------------------------------------------- processes

def run(argv, cwd, env=None, out=os.devnull):
    """Runs argv in cwd under GNU time; returns (seconds, peak resident KiB,
    exit code).  GNU time is small: a child forked from this Python process
    would count Python's own memory in its peak."""
    report = os.path.join(cwd, ".time")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    with open(out, "w") as sink:
        code = subprocess.run([TIME, "-f", "%M", "-o", report, "--"] + argv, cwd=cwd, env=env,
                              stdout=sink, stderr=subprocess.STDOUT).returncode
    seconds = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    with open(report) as f:
        peak = int(f.read().split()[-1])
    return seconds, cpu, peak, code


def measure(argv, cwd, repeat, env=None, out=os.devnull, fresh=()):
    """Median wall time, median CPU time (user + system, the process and its
    children) and largest peak over `repeat` runs; every run must succeed.
    Before each run the inner logs the stand-ins linked into temp/ last time
    are removed (the shell's redirection would empty the prepared files), and
    so are the files named in `fresh`: every run writes its output anew,
    without first deleting the last run's (on this machine's disk, freeing
    the blocks of a large file costs as much as writing it)."""
    times, cpus, peaks = [], [], []
    for _ in range(repeat):
        for name in [os.path.join("temp", "tddft_pelun.log"), os.path.join("temp", "tddft_freq.log"), *fresh]:
            if os.path.exists(os.path.join(cwd, name)):
                os.remove(os.path.join(cwd, name))
        t, cpu, peak, code = run(argv, cwd, env, out)
        if code != 0:
            sys.exit(f"bench: {' '.join(argv)} failed with status {code} in {cwd} (output in {out})")
        times.append(t)
        cpus.append(cpu)
        peaks.append(peak)
    return statistics.median(times), statistics.median(cpus), max(peaks)


# ------------------------------------------------------------------- inputs

def fchk_header(name, kind, count):
    return f"{name:<40}   {kind}   N={count:>12}\n"


def fchk_scalar(name, kind, value):
    return f"{name:<40}   {kind}     {value}\n"


def write_reals(out, values):
    for i in range(0, len(values), 5):
        out.write("".join(f"{v:16.8E}" for v in values[i:i + 5]) + "\n")


def write_pooled_reals(out, rng, count, scale_lo, scale_hi):
    """`count` reals in the 5(1X,ES15.8) layout, drawn from a pool of random texts."""
    pool = []
    for _ in range(65536):
        v = rng.uniform(1.0, 10.0) * 10.0 ** rng.randint(scale_lo, scale_hi)
        pool.append(f"{(-v if rng.random() < 0.5 else v):16.8E}")
    pool[:64] = [f"{0.0:16.8E}"] * 64
    chunk = 500000  # a multiple of 5: lines never straddle two chunks
    for start in range(0, count, chunk):
        vals = rng.choices(pool, k=min(chunk, count - start))
        out.write("\n".join("".join(vals[i:i + 5]) for i in range(0, len(vals), 5)) + "\n")


def molecule(rng, natoms):
    """Atomic numbers and coordinates (bohr) exactly as an ES15.8 field holds them."""
    z = [rng.choice((1, 6, 7, 8)) for _ in range(natoms)]
    xyz = [float(f"{rng.uniform(-20.0, 20.0):.8E}") for _ in range(3 * natoms)]
    return z, xyz


def write_external_input(path, z, xyz, ider):
    with open(path, "w") as f:
        f.write(f"{len(z):10d}{ider:10d}{0:10d}{1:10d}\n")
        for i, zi in enumerate(z):
            f.write(f"{zi:10d}" + "".join(f"{c:20.12f}" for c in xyz[3 * i:3 * i + 3]) + f"{0.0:20.12f}\n")


def write_fchk(path, rng, z, xyz, with_force_constants, nbasis=0):
    n3 = 3 * len(z)
    with open(path, "w") as f:
        f.write("Benchmark checkpoint\n" + f"{'Freq':<10}{'RB3LYP':<60}6-31G(d)\n")
        f.write(fchk_scalar("Number of atoms", "I", f"{len(z):12d}"))
        f.write(fchk_scalar("Charge", "I", f"{0:12d}"))
        f.write(fchk_scalar("Multiplicity", "I", f"{1:12d}"))
        f.write(fchk_header("Atomic numbers", "I", len(z)))
        for i in range(0, len(z), 6):
            f.write("".join(f"{v:12d}" for v in z[i:i + 6]) + "\n")
        f.write(fchk_header("Current cartesian coordinates", "R", n3))
        write_reals(f, xyz)
        f.write(fchk_scalar("Total Energy", "R", f"{-382.119732014 - 0.01 * len(z):22.15E}"))
        if nbasis:
            f.write(fchk_header("Alpha MO coefficients", "R", nbasis * nbasis))
            write_pooled_reals(f, rng, nbasis * nbasis, -4, 0)
        f.write(fchk_header("Cartesian Gradient", "R", n3))
        write_reals(f, [rng.uniform(-0.05, 0.05) for _ in range(n3)])
        if with_force_constants:
            count = n3 * (n3 + 1) // 2
            f.write(fchk_header("Cartesian Force Constants", "R", count))
            write_pooled_reals(f, rng, count, -6, 0)


def write_gradient_log(path, rng, z, target_bytes):
    """A TD-DFT force job's log: SCF and TD iterations, the excited-state
    summary, a long population analysis, the forces table."""
    def filler(f, nbytes, kind):
        lines = []
        for i in range(4096):
            if kind == "scf":
                lines.append(f" Cycle {i % 40 + 1:3d}  Pass 1  IDiag  1:\n"
                             f" E= {-382.3 - rng.random() * 1e-3:.12f}     Delta-E=  {rng.uniform(-1e-4, 1e-4):.12f}"
                             f" Rises=F Damp=F\n DIIS: error= {rng.random():.2E} at cycle {i % 40 + 1:3d} NSaved= 8.\n")
            else:
                vals = "".join(f"{rng.uniform(-1, 1):10.5f}" for _ in range(5))
                label = ("1S", "2S", "2PX", "2PY", "2PZ")[i % 5]
                lines.append(f"{i % 999 + 1:4d} {i % 99 + 1:3d}   C  {label:<7}{vals}\n")
        written = 0
        while written < nbytes:
            block = "".join(rng.choices(lines, k=2048))
            f.write(block)
            written += len(block)

    with open(path, "w") as f:
        f.write(" Entering Gaussian System, Link 0=g16\n #p nosymm b3lyp/6-31g(d) td(root=1,nstate=3) force\n")
        filler(f, target_bytes * 3 // 10, "scf")
        f.write(" Excitation energies and oscillator strengths:\n\n")
        for s in range(1, 4):
            f.write(f" Excited State   {s}:      Singlet-A      {3.9 + 0.3 * s:.4f} eV  {300.0 - 20 * s:.2f} nm"
                    f"  f=0.0{s}00  <S**2>=0.000\n      45 -> 47         0.69975\n      44 -> 48        -0.05000\n")
            if s == 1:
                f.write(" This state for optimization and/or second-order correction.\n"
                        " Total Energy, E(TD-HF/TD-DFT) =  -382.119732014\n")
        f.write(" SavETr:  write IOETrn=   770 NScale= 10 NData=  16 NLR=1 NState=    3 LETran=      64.\n")
        f.write("     Molecular Orbital Coefficients:\n")
        filler(f, target_bytes * 7 // 10, "pop")
        f.write(" -------------------------------------------------------------------\n"
                " Center     Atomic                   Forces (Hartrees/Bohr)\n"
                " Number     Number              X              Y              Z\n"
                " -------------------------------------------------------------------\n")
        for i, zi in enumerate(z):
            fx, fy, fz = (rng.uniform(-0.05, 0.05) for _ in range(3))
            f.write(f"{i + 1:7d}{zi:9d}        {fx:15.9f}{fy:15.9f}{fz:15.9f}\n")
        f.write(" -------------------------------------------------------------------\n"
                " Cartesian Forces:  Max     0.049000000 RMS     0.028000000\n"
                " Normal termination of Gaussian 16.\n")


def stand_ins(bindir, prepared):
    """g16 and formchk that only link prepared files into temp/.  The shell
    has opened g16's log before g16 starts; the link replaces that file."""
    os.makedirs(bindir, exist_ok=True)
    scripts = {
        "g16": f'#!/bin/sh\nfor f in "{prepared}"/*.log; do ln -f "$f" .; done\n',
        "formchk": f'#!/bin/sh\nln -f "{prepared}/tddft_pelun.fchk" tddft_pelun.fchk\n',
    }
    for name, text in scripts.items():
        with open(os.path.join(bindir, name), "w") as f:
            f.write(text)
        os.chmod(os.path.join(bindir, name), 0o755)


CONFIG = "[quorin]\nmethod = b3lyp\nbasis = 6-31g(d)\nroot = 1\nnadd = 2\n"


def prepare_step(work, name, rng, natoms, ider, log_bytes=0, nbasis=0):
    """A step directory with its inputs, and the prepared files its stand-ins link."""
    step = os.path.join(work, name)
    prepared = os.path.join(step, "prepared")
    os.makedirs(prepared)
    z, xyz = molecule(rng, natoms)
    write_external_input(os.path.join(step, "in.EIn"), z, xyz, ider)
    with open(os.path.join(step, "quorin.toml"), "w") as f:
        f.write(CONFIG)
    fchk = os.path.join(prepared, "tddft_pelun.fchk")
    write_fchk(fchk, rng, z, xyz, with_force_constants=(ider == 2), nbasis=nbasis)
    if ider == 2:
        with open(os.path.join(prepared, "tddft_freq.log"), "w") as f:
            f.write(" Entering Gaussian System, Link 0=g16\n Normal termination of Gaussian 16.\n")
        log = None
    else:
        log = os.path.join(prepared, "tddft_pelun.log")
        write_gradient_log(log, rng, z, log_bytes)
    stand_ins(os.path.join(step, "bin"), prepared)
    env = dict(os.environ, PATH=os.path.join(step, "bin") + os.pathsep + os.environ.get("PATH", ""))
    return step, fchk, log, env


def quorin_argv(quorin):
    return [quorin, "quorin.toml", "R", "in.EIn", "out.EOu", "msg.EMs", "fchk.EFC", "matel.EMt"]


# --------------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build", nargs="?", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--sizes", default="10,100,1000,2000")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--log-mb", type=int, default=50)
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    args = ap.parse_args()

    quorin = os.path.abspath(os.path.join(args.build, "quorin"))
    if not os.access(quorin, os.X_OK):
        sys.exit(f"bench: {quorin} is missing; build first (cmake -S . -B build && cmake --build build)")
    if not os.access(TIME, os.X_OK):
        sys.exit(f"bench: {TIME} is missing (apt-get install time)")
    gfortran = shutil.which("gfortran")
    cat = shutil.which("cat")
    if gfortran is None:
        sys.exit("bench: gfortran is needed for the baseline")
    work = os.path.abspath(os.path.join(args.build, "bench_run"))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    baseline = os.path.join(work, "freq_baseline")
    subprocess.run([gfortran, "-O2", "-o", baseline, os.path.join(HERE, "freq_baseline.f90")], check=True)

    sizes = [int(s) for s in args.sizes.split(",")]
    rng = random.Random(20251206)
    rows, failures = {}, []
    version = subprocess.run([gfortran, "-dumpversion"], capture_output=True, text=True).stdout.strip()
    print(f"quorin {quorin}\nbaseline gfortran -O2 ({version}), {os.cpu_count()} cores, median of {args.repeat} runs\n")
    print("Times in seconds (wall clock; cpu: user + system), memory in MiB (peak resident set).")
    print(f"{'N':>6} {'values':>10} {'fchk MB':>8} {'out MB':>7} {'quorin s':>9} {'baseline s':>11} {'ratio':>6}"
          f" {'q cpu':>8} {'b cpu':>8} {'quorin MB':>10} {'baseline MB':>12} {'cat s':>7}  output")
    for n in sizes:
        step, fchk, _, env = prepare_step(work, f"freq_{n}", rng, n, 2)
        size = os.path.getsize(fchk)
        measure([cat, fchk], step, 1)  # the checkpoint in the page cache for everyone
        t_cat, _, _ = measure([cat, fchk], step, args.repeat)
        t_q, cpu_q, peak_q = measure(quorin_argv(quorin), step, args.repeat, env, os.path.join(step, "quorin.out"),
                                     fresh=["out.EOu"])
        t_b, cpu_b, peak_b = measure([baseline, fchk, str(n), "baseline.EOu"], step, args.repeat,
                                     fresh=["baseline.EOu"])
        out_q, out_b = os.path.join(step, "out.EOu"), os.path.join(step, "baseline.EOu")
        same = filecmp.cmp(out_q, out_b, shallow=False)
        out_mb = os.path.getsize(out_q) / 1e6
        rows[n] = dict(size=size, t=t_q, peak=peak_q, tb=t_b)
        n3 = 3 * n
        print(f"{n:>6} {n3 * (n3 + 1) // 2:>10} {size / 1e6:>8.1f} {out_mb:>7.1f} {t_q:>9.3f} {t_b:>11.3f}"
              f" {t_b / t_q:>6.1f} {cpu_q:>8.3f} {cpu_b:>8.3f} {peak_q / 1024:>10.1f} {peak_b / 1024:>12.1f}"
              f" {t_cat:>7.3f}  {'identical' if same else 'DIFFERENT'}", flush=True)
        if not same:
            failures.append(f"N = {n}: External output differs from the baseline's")
        if not args.keep:  # hundreds of MB at the larger N
            for f in (out_q, out_b, fchk):
                os.remove(f)

    if 1000 in rows:
        r = rows[1000]
        ratio = r["tb"] / r["t"]
        if ratio < 10:
            failures.append(f"N = 1000: {ratio:.1f} times faster than the baseline, target 10")
        if r["peak"] >= 32 * 1024:
            failures.append(f"N = 1000: peak {r['peak'] / 1024:.1f} MiB, target under 32 MiB")
        print(f"\nN = 1000: {ratio:.1f} x the baseline (target 10, stretch 20),"
              f" peak {r['peak'] / 1024:.1f} MiB (target < 32)")
    if 1000 in rows and 2000 in rows:
        a, b = rows[1000], rows[2000]
        growth_t, growth_s, growth_m = b["t"] / a["t"], b["size"] / a["size"], b["peak"] / a["peak"]
        print(f"N = 1000 -> 2000: time x{growth_t:.2f}, checkpoint size x{growth_s:.2f}, peak memory x{growth_m:.2f}"
              f" (targets: time no faster than size, memory within 1.2)")
        if growth_m > 1.2:
            failures.append(f"N = 2000: peak memory {growth_m:.2f} times that of N = 1000, target 1.2")
        if growth_t > growth_s:
            failures.append(f"N = 2000: time grew {growth_t:.2f} times, the checkpoint {growth_s:.2f} times")

    if args.log_mb > 0:
        natoms, nbasis = 100, 1000
        step, fchk, log, env = prepare_step(work, "gradient", rng, natoms, 1, args.log_mb * 1000000, nbasis)
        measure([cat, log, fchk], step, 1)
        t_cat, _, _ = measure([cat, log, fchk], step, args.repeat)
        t_q, cpu_q, peak_q = measure(quorin_argv(quorin), step, args.repeat, env, os.path.join(step, "quorin.out"))
        # The stand-ins' own cost (two shells, two scripts, two links): the
        # command lines quorin runs, run here by themselves.
        t_inner, _, _ = measure(["/bin/sh", "-c", "(cd temp && g16 < tddft_pelun.gjf > tddft_pelun.log 2>&1);"
                                 " (cd temp && formchk tddft_pelun.chk tddft_pelun.fchk > formchk.log 2>&1)"],
                                step, args.repeat, env)
        own = t_q - t_inner
        print(f"\nGradient step (adiabatic), N = {natoms}: log {os.path.getsize(log) / 1e6:.1f} MB, checkpoint "
              f"{os.path.getsize(fchk) / 1e6:.1f} MB\n"
              f"  quorin {t_q:.3f} s wall ({cpu_q:.3f} s cpu, peak {peak_q / 1024:.1f} MiB); the stand-ins' command"
              f" lines alone {t_inner:.3f} s; quorin's own time {own:.3f} s\n"
              f"  cat of log and checkpoint {t_cat:.3f} s: quorin's own time is {own / t_cat:.2f} times that"
              f" (target at most 3)")
        if own > 3 * t_cat:
            failures.append(f"gradient step: quorin's own time {own:.3f} s, more than 3 times cat ({t_cat:.3f} s)")

    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    print()
    for f in failures:
        print("MISSED:", f)
    print("all targets met" if not failures else f"{len(failures)} target(s) missed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
