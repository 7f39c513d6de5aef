"""A TD-DFT job of Gaussian's input carried out by NWChem.

Used by the g16 and formchk stand-ins: reads the Gaussian input quorin writes,
runs NWChem (TD-DFT energies, the analytic gradient of the chosen root, MO
coefficients and X+Y of every root), and keeps the results in a checkpoint
(a numpy .npz archive under the name of the %chk line).

Environment: QUORIN_NWCHEM_NPROC (MPI processes, default 2),
QUORIN_NWCHEM_SCRATCH (parent of the per-job work directories, default
/dev/shm when present), QUORIN_PHYSICAL_RECORD (a file to which every job
appends one JSON line: the character of each state, for the tests).
"""
import io
import os
import re
import shutil
import struct
import subprocess
import tempfile

import numpy as np

import ntos
import psi_overlap

BOHR_ANGSTROM = 0.529177249   # the factor quorin converts with
HARTREE_EV = 27.211386245988
FUNCTIONALS = {"b3lyp": "b3lyp", "pbe1pbe": "pbe0", "pbe0": "pbe0"}


class JobError(Exception):
    pass


def parse_gjf(text):
    """Link 0, route, title, charge/multiplicity and atoms (angstrom) of a
    Gaussian input."""
    lines = text.splitlines()
    job = {"chk": None, "route": "", "atoms": []}
    i = 0
    while i < len(lines) and lines[i].startswith("%"):
        key, _, val = lines[i][1:].partition("=")
        if key.strip().lower() == "chk":
            job["chk"] = val.strip()
        i += 1
    while i < len(lines) and lines[i].strip():
        job["route"] += " " + lines[i].strip()
        i += 1
    i += 1
    job["title"] = lines[i].strip() if i < len(lines) else ""
    i += 2
    charge, mult = (int(v) for v in lines[i].split()[:2])
    job.update(charge=charge, mult=mult)
    for ln in lines[i + 1:]:
        w = ln.split()
        if not w:
            break
        job["atoms"].append((w[0], [float(v) for v in w[1:4]]))
    route = job["route"].lower()
    m = re.search(r"\s([a-z0-9\-]+)/([a-z0-9\-+*()]+)", route)
    td = re.search(r"td\(([^)]*)\)", route)
    if not m or not td:
        raise JobError("the route needs method/basis and td(...): " + job["route"])
    opts = dict((kv.split("=") + [""])[:2] for kv in td.group(1).split(","))
    job.update(method=m.group(1), basis=m.group(2), root=int(opts.get("root", 1)),
               nstate=int(opts.get("nstate", 3)), triplet="triplet" in opts,
               kind=next((k for k in ("force", "freq", "sp") if re.search(r"\s%s(\s|$)" % k, route)), "sp"))
    return job


def fortran_records(path):
    """Records of a Fortran unformatted sequential file (4-byte markers)."""
    data = open(path, "rb").read()
    recs, p = [], 0
    while p < len(data):
        (n,) = struct.unpack("<i", data[p:p + 4])
        recs.append(data[p + 4:p + 4 + n])
        p += n + 8
    return recs


def read_movecs(path):
    """MO energies and coefficients (nbf x nmo) of an NWChem .movecs file."""
    r = fortran_records(path)
    nbf = struct.unpack("<q", r[7])[0]
    nmo = struct.unpack("<q", r[8][:8])[0]
    evals = np.frombuffer(r[10], "<f8").copy()
    mo = np.array([np.frombuffer(r[11 + k], "<f8") for k in range(nmo)]).T
    assert mo.shape == (nbf, nmo)
    return evals, mo


def read_civecs(path):
    """Occupied count and X+Y of every root (nroots x nocc x nvir) of an
    NWChem civecs file."""
    r = fortran_records(path)
    ints = [struct.unpack("<q", rec[:8])[0] for rec in r[:8]]
    nroots, nocc, nmo, nfc, nfv = ints[2], ints[3], ints[4], ints[5], ints[6]
    if nfc or nfv:
        raise JobError("frozen orbitals are not supported")
    nvir = nmo - nocc
    xpy = [np.frombuffer(r[11 + 4 * k], "<f8").reshape(nocc, nvir) for k in range(nroots)]
    return nocc, np.array(xpy)


def nwchem_input(job, workdir):
    if job["method"] not in FUNCTIONALS:
        raise JobError("functional %s is not supported" % job["method"])
    geo = "\n".join("  %s %.12f %.12f %.12f" % (s, *x) for s, x in job["atoms"])
    task = "gradient" if job["kind"] == "force" else "energy"
    grad = "  grad\n    root %d\n  end\n" % job["root"] if task == "gradient" else ""
    return ("start job\npermanent_dir %s\nscratch_dir %s\nmemory 1000 mb\n"
            "charge %d\n"
            "geometry units angstrom nocenter noautoz noautosym\n%s\nend\n"
            "basis cartesian\n  * library %s\nend\n"
            "dft\n  xc %s\n  grid medium\n  convergence energy 1e-8 density 1e-7\n  direct\n  mult %d\n"
            "  vectors output job.movecs\nend\n"
            "tddft\n  nroots %d\n  %s\n  target %d\n  thresh 1e-4\n  civecs\n%send\n"
            "task tddft %s\n") % (workdir, workdir, job["charge"], geo, job["basis"].upper(),
                                  FUNCTIONALS[job["method"]], job["mult"], job["nstate"],
                                  "nosinglet" if job["triplet"] else "notriplet", job["root"], grad, task)


def parse_output(text, natoms):
    """Ground-state energy, roots (excitation energy, oscillator strength,
    transition lines), the target's total energy and gradient."""
    out = {"roots": []}
    m = re.findall(r"Total DFT energy =\s+(-?\d+\.\d+)", text)
    if not m:
        raise JobError("no DFT energy in the NWChem output")
    out["ground"] = float(m[-1])
    for block in re.split(r"\n\s+-{20,}\n\s+Root\s+", text)[1:]:
        head = re.match(r"(\d+)\s+(singlet|triplet)\s+\S*\s+(-?\d+\.\d+) a\.u\.", block)
        if not head:
            continue
        f = re.search(r"Dipole Oscillator Strength\s+(-?\d+\.\d+)", block)
        lines = re.findall(r"Occ\.\s+(\d+)\s+\S+\s+---\s+Virt\.\s+(\d+)\s+\S+\s+(-?\d+\.\d+)\s+([XY])", block)
        out["roots"].append({"omega": float(head.group(3)), "f": float(f.group(1)) if f else 0.0,
                             "lines": [(int(o), int(v), float(c), xy) for o, v, c, xy in lines]})
    m = re.search(r"Excited state energy =\s+(-?\d+\.\d+)", text)
    out["energy"] = float(m.group(1)) if m else None
    g = text.split("TDDFT ENERGY GRADIENTS")
    if len(g) > 1:
        rows = [ln.split() for ln in g[1].splitlines()[4:4 + natoms]]
        out["gradient"] = np.array([[float(v) for v in w[5:8]] for w in rows])
    return out


def scratch_parent():
    parent = os.environ.get("QUORIN_NWCHEM_SCRATCH")
    if parent:
        return parent
    return "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None


def run(job, nproc=None):
    """Runs the job in NWChem; returns the checkpoint contents (a dict) and
    the parsed output.  Every job starts from NWChem's own SCF guess, whatever
    the route says about guess=read: results then depend on the geometry
    alone, so runs are reproducible."""
    if nproc is None:
        nproc = int(os.environ.get("QUORIN_NWCHEM_NPROC", "2"))
    nproc = min(nproc, os.cpu_count() or 1)
    work = tempfile.mkdtemp(prefix="quorin-nw-", dir=scratch_parent())
    try:
        with open(os.path.join(work, "job.nw"), "w") as f:
            f.write(nwchem_input(job, work))
        cmd = ["nwchem", "job.nw"]
        if nproc > 1:
            cmd = ["mpirun", "--allow-run-as-root", "-np", str(nproc)] + cmd
        env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")  # one core per process
        proc = subprocess.run(cmd, cwd=work, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, errors="replace")
        text = proc.stdout
        if job.get("nwout"):
            with open(job["nwout"], "w") as f:
                f.write(text)
        natoms = len(job["atoms"])
        res = parse_output(text, natoms)
        civecs = os.path.join(work, "job.civecs_" + ("triplet" if job["triplet"] else "singlet"))
        if not os.path.exists(civecs) or len(res["roots"]) < job["nstate"]:
            raise JobError("NWChem gave no TD-DFT roots:\n" + text[-3000:])
        if job["kind"] == "force" and "gradient" not in res:
            raise JobError("NWChem gave no gradient:\n" + text[-3000:])
        evals, mo = read_movecs(os.path.join(work, "job.movecs"))
        nocc, xpy = read_civecs(civecs)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    z = [ntos.SYMBOL.index(s.capitalize()) for s, _ in job["atoms"]]
    chk = {"z": np.array(z), "xyz": np.array([x for _, x in job["atoms"]]) / BOHR_ANGSTROM,
           "charge": job["charge"], "mult": job["mult"], "basis": job["basis"].upper(),
           "method": job["method"], "root": job["root"], "kind": job["kind"],
           "ground": res["ground"], "omega": np.array([r["omega"] for r in res["roots"]]),
           "f": np.array([r["f"] for r in res["roots"]]), "nocc": nocc, "mo_energies": evals, "mo": mo,
           "xpy": xpy}
    chk["energy"] = res["energy"] if res["energy"] is not None else res["ground"] + res["roots"][job["root"] - 1]["omega"]
    if "gradient" in res:
        chk["gradient"] = res["gradient"]
    return chk, res


FD_STEP = 0.005      # bohr, central differences of the analytic gradients


def run_freq(job):
    """A frequency job: the force job at the geometry and the Hessian of the
    root by central finite differences of NWChem's analytic TD-DFT gradients
    (6N more force jobs, FD_STEP bohr each way), run QUORIN_FD_JOBS (default
    2) at a time with one NWChem process each.  The Hessian is symmetrised;
    its largest asymmetry before that is kept as "hessian_asymmetry"."""
    from concurrent.futures import ThreadPoolExecutor

    atoms = job["atoms"]
    n = 3 * len(atoms)
    h_ang = FD_STEP * BOHR_ANGSTROM

    def displaced(i, sign):
        moved = [(s, list(x)) for s, x in atoms]
        moved[i // 3][1][i % 3] += sign * h_ang
        return dict(job, atoms=moved, kind="force", nwout=None)

    jobs = [dict(job, kind="force")] + [displaced(i, sign) for i in range(n) for sign in (1, -1)]
    width = max(1, int(os.environ.get("QUORIN_FD_JOBS", "2")))
    per_job = max(1, int(os.environ.get("QUORIN_NWCHEM_NPROC", "2")) // width)
    with ThreadPoolExecutor(max_workers=width) as pool:
        done = list(pool.map(lambda j: run(j, per_job), jobs))
    chk, res = done[0]
    grads = [c["gradient"].ravel() for c, _ in done[1:]]
    hess = np.array([(grads[2 * i] - grads[2 * i + 1]) / (2 * FD_STEP) for i in range(n)])
    chk["kind"] = "freq"
    chk["hessian_asymmetry"] = float(np.max(np.abs(hess - hess.T)))
    chk["hessian"] = 0.5 * (hess + hess.T)
    # The displaced jobs must have followed the same state: their energies
    # stay within what the step can change.
    chk["fd_energy_spread"] = float(max(abs(c["energy"] - chk["energy"]) for c, _ in done[1:]))
    return chk, res


def save_checkpoint(path, chk):
    buf = io.BytesIO()
    np.savez(buf, **chk)
    with open(path, "wb") as f:
        f.write(buf.getvalue())


def load_checkpoint(path):
    with np.load(path, allow_pickle=False) as d:
        return {k: d[k] for k in d.files}


def log_text(job, chk, res):
    """The job's log in Gaussian's layout."""
    out = [" Entering Gaussian System (stand-in: TD-DFT by NWChem).", " " + job["route"].strip(), "",
           " " + job["title"], "",
           " SCF Done:  E(R%s) =  %.9f     A.U." % (job["method"].upper(), chk["ground"]), " ",
           " Excitation energies and oscillator strengths:"]
    spin = "Triplet-A" if job["triplet"] else "Singlet-A"
    for k, r in enumerate(res["roots"][:job["nstate"]], start=1):
        ev = r["omega"] * HARTREE_EV
        out += [" ", " Excited State %3d:      %-10s%11.4f eV%8.2f nm  f=%6.4f  <S**2>=%5.3f"
                % (k, spin, ev, 1239.84198 / ev, r["f"], 2.0 if job["triplet"] else 0.0)]
        for o, v, c, xy in r["lines"]:
            out.append("%8d %s %-4d%12.5f" % (o, "->" if xy == "X" else "<-", v, c / np.sqrt(2.0)))
        if k == job["root"]:
            out += [" This state for optimization and/or second-order correction.",
                    " Total Energy, E(TD-HF/TD-DFT) =  %.12f" % chk["energy"],
                    " Copying the excited state density for this state as the 1-particle RhoCI density."]
    out.append(" SavETr:  write IOETrn=   770 NScale= 10 NData=  16 NLR=1 NState=%5d LETran=      64."
               % job["nstate"])
    if "gradient" in chk:
        rule = " " + "-" * 67
        forces = -chk["gradient"]
        out += [rule, " Center     Atomic                   Forces (Hartrees/Bohr)",
                " Number     Number              X              Y              Z", rule]
        for a, (z, f) in enumerate(zip(chk["z"], forces), start=1):
            out.append(" %6d%9d       %15.9f%15.9f%15.9f" % (a, z, *f))
        fmax, frms = np.max(np.abs(forces)), np.sqrt(np.mean(forces ** 2))
        out += [rule, " Cartesian Forces:  Max%16.9f RMS%16.9f" % (fmax, frms)]
        # Displacements estimated with the outer optimiser's start curvature
        # (0.5 hartree/bohr^2): a force job has no Hessian of its own.
        out.append("         Item               Value     Threshold  Converged?")
        for name, v, t in (("Maximum Force", fmax, 0.00045), ("RMS     Force", frms, 0.0003),
                           ("Maximum Displacement", fmax / 0.5, 0.0018), ("RMS     Displacement", frms / 0.5, 0.0012)):
            out.append(" %-20s%13.6f%13.6f     %s" % (name, v, t, "YES" if v < t else "NO"))
    if "hessian" in chk:
        out += [" Force constants by central differences of %d analytic gradients, step %.4f bohr;"
                % (2 * chk["hessian"].shape[0], FD_STEP),
                " largest asymmetry before symmetrising %.3e hartree/bohr**2." % chk["hessian_asymmetry"]]
    out.append(" Normal termination of Gaussian 16 (stand-in: TD-DFT by NWChem).")
    return "\n".join(out) + "\n"


def nto_pairs(mo, nocc, xpy, threshold):
    """The NTO pairs of a state whose eigenvalue exceeds the threshold:
    eigenvalue, hole and particle (AO coefficients)."""
    u, lam, v = ntos.transition_svd(xpy)
    return [{"lambda": float(lam[k]), "hole_ao": (mo[:, :nocc] @ u[:, k]).tolist(),
             "particle_ao": (mo[:, nocc:] @ v[:, k]).tolist()} for k in range(len(lam)) if lam[k] > threshold]


def state_characters(chk):
    """Per state: oscillator strength, leading NTO eigenvalue, C2v labels of
    its hole and particle and the character they make, and the leading
    canonical MO pair; with the MOs' orthonormality errors under the
    stand-ins' own overlap integrals and under psi4's (checks of the basis
    each overlap engine rebuilds)."""
    z = [int(v) for v in chk["z"]]
    shells = ntos.build_shells(str(chk["basis"]), z)
    S = ntos.overlap_matrix(shells, chk["xyz"], chk["xyz"])
    mirrors = [ntos.mirror_operator(shells, chk["xyz"], z, axis) for axis in (0, 1)]
    nocc = int(chk["nocc"])
    states = []
    for k, t in enumerate(chk["xpy"], start=1):
        hole, particle, lam = ntos.leading_pair(chk["mo"], nocc, t)
        h, p = ntos.orbital_irrep(hole, S, mirrors), ntos.orbital_irrep(particle, S, mirrors)
        i, a = np.unravel_index(np.argmax(np.abs(t)), t.shape)
        states.append({"state": k, "energy": float(chk["ground"] + chk["omega"][k - 1]),
                       "ev": float(chk["omega"][k - 1] * HARTREE_EV), "f": float(chk["f"][k - 1]),
                       "nto_lambda": lam, "hole": h, "particle": p, "character": ntos.character(h, p),
                       "mo_pair": "%d->%d" % (i + 1, nocc + a + 1),
                       "hole_ao": hole.tolist(), "particle_ao": particle.tolist(),
                       "nto_lambdas": [float(v) for v in ntos.transition_svd(t)[1] if v > 0.01],
                       "pairs": nto_pairs(chk["mo"], nocc, t, 0.1)})
    S_psi4 = psi_overlap.overlap(z, ntos.library_shells(str(chk["basis"]), z), chk["xyz"], chk["xyz"])
    return states, ntos.orthonormality_error(chk["mo"], S), ntos.orthonormality_error(chk["mo"], S_psi4)
