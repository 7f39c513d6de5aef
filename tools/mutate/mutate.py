#!/usr/bin/env python3
"""How many faults does the test suite catch?

Two sets of faults, planted one at a time in a scratch copy of the checkout,
each followed by an incremental rebuild and a run of the fast suite
(ctest -LE physical):

  generated  a random sample of the faults that mutation operators make at
             every place of src/ and tools/report/ (tools/mutate/mutants.py):
             an unbiased measure of the suite, since nobody chose them;
  listed     the hand-written faults of faults.txt: a regression set.

    tools/mutate/mutate.py --sample 60 [--seed N] [--jobs J] [--timeout S]
                           [--units RE] [--operators a,b] [--out DIR]
    tools/mutate/mutate.py --sample 60 --dry-run   # the population and the sample, nothing built
    tools/mutate/mutate.py --pick FILE:LINE:COL:OP[,...]   # plant these generated faults
    tools/mutate/mutate.py --rescore build/mutate/*.json  # saved samples with today's judgements, pooled
    tools/mutate/mutate.py [--faults FILE | --list FILE] [--only N,M-K]   # the listed faults
    tools/mutate/mutate.py --check        # only tell which listed faults still apply
    tools/mutate/mutate.py --who          # run the whole suite per fault and name
                                          # the tests that caught it (slower)

A new seed is drawn for every sample and printed; --seed replays a sample
(the same sources, operators and equivalent.txt give the same faults).  The sample holds
the first K faults of a random order of all generated faults that compile;
faults that do not compile are drawn past and counted.  A fault whose
program objects come out byte for byte as before is equivalent by
construction ("same code").  Faults judged equivalent by hand are listed in
equivalent.txt and left out of the population.  Every result is also written
as JSON to --out (default: build/mutate/ of the checkout, which git ignores).

Fault list (faults.txt): records separated by blank lines; "#" lines are
comments.

    [src/module_nto.cpp] near-degeneracy bound made exclusive
    - if (d <= kNearDegenerate) {
    + if (d < kNearDegenerate) {
    harmless: why the fault cannot change what the program does (optional)

The "-" lines are the original text (several lines for a text over several
lines, indentation included after the first), the "+" lines its replacement
(none: the text is removed).  The original must occur exactly once in the
file; a fault whose text is gone (the code changed) or ambiguous is reported
as not applicable, not as a failure of the script.  A fault that does not
compile counts as neither caught nor survived.  A surviving fault marked
"harmless" does not count as behaviour-changing; every other survivor does.

equivalent.txt: the same record form, with the operator and the reason on
the first line; the "-" and "+" lines are the whole lines of the generated
fault before and after (compared with blanks collapsed, so that the
judgement holds wherever the line moves).

    [src/text_fields.cpp] boundary: both bounds give the same result for an empty text
    - while (n > 0 && s[n - 1] == ' ') --n;
    + while (n >= 0 && s[n - 1] == ' ') --n;
"""
import argparse
import collections
import datetime
import hashlib
import json
import math
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mutants  # noqa: E402

GENERATED_FROM = ("src", "tools/report")
PROGRAM_TARGETS = ("quorin_core", "quorin", "quorin_report_core", "quorin-report")
Z95 = 1.959963984540054


# ------------------------------------------------------------------ faults

class Fault:
    """A listed fault: the unique original text of a file and its replacement."""

    def __init__(self, number, path, what):
        self.number, self.path, self.what = number, path, what
        self.old, self.new, self.harmless = [], [], None
        self.result, self.seconds, self.catchers = None, 0.0, []

    @property
    def original(self):
        return "\n".join(self.old)

    @property
    def replacement(self):
        return "\n".join(self.new)

    @property
    def name(self):
        return f"{self.number:3d} {self.path}: {self.what}"

    def problem(self, text):
        n = text.count(self.original)
        return None if n == 1 else ("text not found" if n == 0 else f"text found {n} times")

    def apply(self, text):
        return text.replace(self.original, self.replacement, 1)


class Generated:
    """A generated fault (a mutants.Mutant) with its result."""

    def __init__(self, mutant, order):
        self.m, self.order = mutant, order
        self.path = mutant.path
        self.result, self.seconds, self.catchers = None, 0.0, []

    @property
    def name(self):
        m = self.m
        shown = "removed: " + short(m.original) if m.replacement in ("", "{}") else short(m.after)
        return f"{m.path}:{m.line} {m.operator:12s} {shown}"

    def problem(self, text):
        return None if text[self.m.start:self.m.end] == self.m.original else "text changed"

    def apply(self, text):
        return self.m.apply(text)


def short(text, width=110):
    text = " ".join(text.split())
    return text if len(text) <= width else text[:width - 3] + "..."


def parse_records(path, header_ok):
    """Records of faults.txt / equivalent.txt: (lineno, header, old lines, new lines, notes)."""
    records, current = [], None
    with open(path, encoding="utf-8") as f:
        for lineno, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if not line.strip():
                current = None
                continue
            if line.startswith("#"):
                continue
            if line.startswith("["):
                close = line.index("]")
                current = {"line": lineno, "path": line[1:close], "head": line[close + 1:].strip(), "old": [],
                           "new": [], "notes": {}}
                records.append(current)
                continue
            if current is None:
                sys.exit(f"{path}:{lineno}: a record starts with [file] and its description")
            if line == "-" or line.startswith("- "):
                current["old"].append(line[2:])
            elif line == "+" or line.startswith("+ "):
                current["new"].append(line[2:])
            elif header_ok(line):
                key, _, value = line.partition(":")
                current["notes"][key] = value.strip()
            else:
                sys.exit(f"{path}:{lineno}: unexpected line in a record")
    return records


def parse_faults(path):
    faults = []
    for r in parse_records(path, lambda line: line.startswith("harmless:")):
        f = Fault(len(faults) + 1, r["path"], r["head"])
        f.old, f.new, f.harmless = r["old"], r["new"], r["notes"].get("harmless")
        if not f.old:
            sys.exit(f"{path}: fault {f.number} ({f.what}) has no original text")
        faults.append(f)
    return faults


def parse_equivalents(path):
    """Judged-equivalent generated faults, keyed as mutants.Mutant.key."""
    if not os.path.isfile(path):
        return {}
    out = {}
    for r in parse_records(path, lambda line: False):
        operator, _, reason = r["head"].partition(":")
        if operator.strip() not in mutants.OPERATORS or not reason.strip():
            sys.exit(f"{path}:{r['line']}: expected '[file] operator: reason'")
        key = (r["path"], operator.strip(), mutants.normalise("\n".join(r["old"])),
               mutants.normalise("\n".join(r["new"])))
        out[key] = reason.strip()
    return out


def select(faults, only):
    if not only:
        return faults
    wanted = set()
    for part in only.split(","):
        lo, _, hi = part.partition("-")
        wanted.update(range(int(lo), int(hi or lo) + 1))
    return [f for f in faults if f.number in wanted]


# ----------------------------------------------------------- scratch copies

class Cancelled(Exception):
    pass


class Scratch:
    """One copy of the checkout with its own build tree, reused for every fault it plants."""

    live = set()  # running process groups, ended when the run is interrupted
    live_lock = threading.Lock()
    cancelled = False

    def __init__(self, top, root, number, args):
        self.top, self.args = top, args
        self.dir = os.path.join(root, f"job{number}")
        self.tree, self.build = os.path.join(self.dir, "src"), os.path.join(self.dir, "build")
        self.last_path = None
        self.base_objects = {}
        self.suite_seconds = 0.0
        bj = str(args.build_jobs)
        self.build_cmd = ["cmake", "--build", self.build, "-j", bj]
        self.test_cmd = ["ctest", "--test-dir", self.build, "-j", bj, "--timeout", "90", "-LE", "physical"]
        if not args.who:
            self.test_cmd.append("--stop-on-failure")

    def run(self, cmd, timeout):
        """(status, output, timed out); the command runs in its own process group, ended whole on timeout."""
        if Scratch.cancelled:
            raise Cancelled()
        p = subprocess.Popen(cmd, cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             start_new_session=True)
        with Scratch.live_lock:
            Scratch.live.add(p.pid)
        try:
            out, _ = p.communicate(timeout=timeout)
            return p.returncode, out.decode("utf-8", "replace"), False
        except subprocess.TimeoutExpired:
            end_group(p.pid)
            out, _ = p.communicate()
            return -1, out.decode("utf-8", "replace"), True
        finally:
            with Scratch.live_lock:
                Scratch.live.discard(p.pid)
            if Scratch.cancelled:
                raise Cancelled()

    def prepare(self):
        os.makedirs(self.dir)
        copy_checkout(self.top, self.tree)
        samples = os.environ.get("QUORIN_SAMPLES_DIR") or os.path.join(os.path.dirname(self.top), "shared",
                                                                        "samples", "gaussian")
        cmd = ["cmake", "-S", self.tree, "-B", self.build, "-DCMAKE_BUILD_TYPE=Release", "-DQUORIN_BUILD_BENCH=OFF",
               "-DQUORIN_BUILD_FUZZ=OFF", "-DQUORIN_SAMPLES_DIR=" + samples]
        if shutil.which("ninja"):
            cmd += ["-G", "Ninja"]
        rc, out, _ = self.run(cmd, 600)
        if rc != 0:
            raise SystemExit("configure failed:\n" + out[-4000:])
        rc, out, _ = self.run(self.build_cmd, 7200)
        if rc != 0:
            raise SystemExit("the unchanged checkout does not build:\n" + out[-4000:])
        start = time.time()
        rc, out, timed_out = self.run(self.test_cmd, 7200)
        self.suite_seconds = time.time() - start
        if rc != 0:
            raise SystemExit("the suite fails on the unchanged checkout:\n" + out[-4000:])
        self.base_objects = self.objects()

    def objects(self):
        """Digest of every object file of the program's own targets."""
        digests = {}
        for target in PROGRAM_TARGETS:
            base = os.path.join(self.build, "CMakeFiles", target + ".dir")
            for dirpath, _, files in os.walk(base):
                for name in files:
                    if name.endswith(".o"):
                        path = os.path.join(dirpath, name)
                        with open(path, "rb") as f:
                            digests[path] = hashlib.sha256(f.read()).hexdigest()
        return digests

    def plant(self, fault, suite_timeout):
        start = time.time()
        path = os.path.join(self.tree, fault.path)
        if not os.path.isfile(path):
            fault.result = "not applicable (no such file)"
            return
        with open(path, encoding="utf-8") as fh:
            original = fh.read()
        problem = fault.problem(original)
        if problem is not None:
            fault.result = "not applicable (" + problem + ")"
            return
        try:
            with open(path, "w", encoding="utf-8") as fh:
                fh.write(fault.apply(original))
            rc, _, timed_out = self.run(self.build_cmd, 3600)
            if rc != 0:
                fault.result = "does not compile" + (" (build timed out)" if timed_out else "")
            elif self.objects() == self.base_objects:
                fault.result = "same code"
            else:
                rc, out, timed_out = self.run(self.test_cmd, suite_timeout)
                failed = failed_tests(out)
                fault.catchers = [name for name, _ in failed]
                if timed_out or (failed and all(why == "Timeout" for _, why in failed)):
                    fault.result = "caught (timeout)"
                else:
                    fault.result = "caught" if rc != 0 else "SURVIVED"
        finally:
            with open(path, "w", encoding="utf-8") as fh:
                fh.write(original)
            fault.seconds = time.time() - start


def end_group(pid):
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def failed_tests(output):
    """(name, reason) of the tests in ctest's list of failed tests."""
    out, listing = [], False
    for line in output.splitlines():
        if "The following tests FAILED" in line:
            listing = True
            continue
        m = re.match(r"\s*\d+ - (.+) \(([^)]*)\)", line) if listing else None
        if m:
            out.append((m.group(1).strip(), m.group(2).strip()))
    return out


def copy_checkout(top, scratch):
    files = subprocess.run(["git", "ls-files", "-z"], cwd=top, check=True, stdout=subprocess.PIPE).stdout
    for rel in filter(None, files.decode().split("\0")):
        src = os.path.join(top, rel)
        if not os.path.isfile(src):  # deleted in the working tree
            continue
        dst = os.path.join(scratch, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst)


# ------------------------------------------------------------------ running

def run_jobs(top, args, batches, report, suite_timeout):
    """Plants the faults of each batch (a list, or a function giving the next batch) on args.jobs copies."""
    root = tempfile.mkdtemp(prefix="quorin-mutate-")
    print(f"scratch copies: {root}", flush=True)
    lock = threading.Lock()
    queue = []
    errors = []
    copies = []

    def take(last_path):
        with lock:
            if not queue:
                return None
            same = [k for k, f in enumerate(queue) if f.path == last_path]
            return queue.pop(same[0] if same else 0)

    def worker(copy):
        try:
            while True:
                fault = take(copy.last_path)
                if fault is None:
                    return
                copy.last_path = fault.path
                copy.plant(fault, suite_timeout or max(600.0, 4 * copy.suite_seconds))
                with lock:
                    report(fault)
        except Cancelled:
            return
        except BaseException as e:  # noqa: BLE001 -- shown once the other copies are done
            errors.append(e)

    def prepare(copy):
        try:
            copy.prepare()
        except Cancelled:
            return
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = []

    def wait():
        for t in threads:
            while t.is_alive():
                t.join(1.0)
        if errors:
            raise errors[0]

    try:
        copies = [Scratch(top, root, k + 1, args) for k in range(args.jobs)]
        threads = [threading.Thread(target=prepare, args=(c,)) for c in copies]
        for t in threads:
            t.start()
        wait()
        print(f"baseline: the suite passes on every copy ({copies[0].suite_seconds:.0f} s)", flush=True)
        for batch in batches():
            queue[:] = sorted(batch, key=lambda f: f.path)
            threads = [threading.Thread(target=worker, args=(c,)) for c in copies]
            for t in threads:
                t.start()
            wait()
    except KeyboardInterrupt:
        Scratch.cancelled = True
        with Scratch.live_lock:
            for pid in list(Scratch.live):
                end_group(pid)
        for t in threads:
            t.join()
        print("\ninterrupted: the results so far follow", flush=True)
    finally:
        if args.keep:
            print(f"kept: {root}")
        else:
            shutil.rmtree(root, ignore_errors=True)
    return copies[0].suite_seconds if copies else 0.0


# ------------------------------------------------------------------ numbers

def wilson(k, n, z=Z95):
    if n == 0:
        return 0.0, 1.0
    p = k / n
    d = 1 + z * z / n
    centre = (p + z * z / (2 * n)) / d
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / d
    return max(0.0, centre - half), min(1.0, centre + half)


def caught(result):
    return result.startswith("caught")


def compiled(result):
    return not result.startswith("does not compile")


def tally(rows):
    t = {"planted": len(rows), "compile": 0, "same": 0, "judged": 0, "caught": 0, "timeout": 0, "survived": 0}
    for r in rows:
        result = r["result"]
        if not compiled(result):
            t["compile"] += 1
        elif result == "same code":
            t["same"] += 1
        elif result == "judged equivalent":
            t["judged"] += 1
        elif caught(result):
            t["caught"] += 1
            t["timeout"] += result == "caught (timeout)"
        elif result == "SURVIVED":
            t["survived"] += 1
    t["changing"] = t["caught"] + t["survived"]
    return t


def table(title, groups):
    print(f"\n{title:28s} {'planted':>7s} {'no-cc':>6s} {'equiv':>6s} {'count':>6s} {'caught':>7s} {'survived':>8s} "
          f"{'share':>6s}")
    for name, rows in sorted(groups.items()):
        t = tally(rows)
        share = f"{100.0 * t['caught'] / t['changing']:5.0f}%" if t["changing"] else "     -"
        print(f"{name:28s} {t['planted']:7d} {t['compile']:6d} {t['same'] + t['judged']:6d} {t['changing']:6d} "
              f"{t['caught']:7d} {t['survived']:8d} {share:>6s}")


def group(rows, field):
    out = {}
    for r in rows:
        out.setdefault(r[field], []).append(r)
    return out


def row_key(row):
    return (row["file"], row["operator"], mutants.normalise(row["before"]), mutants.normalise(row["after"]))


def summarise(data, equivalents):
    """Prints what a sample (as saved in its JSON) gave; survivors judged equivalent since then are left out."""
    rows = data["faults"]
    for r in rows:
        if r["result"] in ("SURVIVED", "judged equivalent") and row_key(r) in equivalents:
            r["result"], r["why"] = "judged equivalent", equivalents[row_key(r)]
    t = tally(rows)
    lo, hi = wilson(t["caught"], t["changing"])
    print(f"\nseed {data['seed']}; planted {t['planted']} generated faults (commit {data['commit'][:12]})")
    print(f"  do not compile (left out):                {t['compile']}")
    print(f"  same machine code (equivalent, left out): {t['same']}")
    print(f"  judged equivalent (left out):             {t['judged']} in the sample, "
          f"{data['judged_equivalent_left_out']} more not drawn")
    if t["changing"]:
        print(f"  behaviour-changing: {t['changing']}; caught: {t['caught']} "
              f"(of which by timeout: {t['timeout']}); survived: {t['survived']}")
        print(f"  caught share: {100.0 * t['caught'] / t['changing']:.1f} % "
              f"(95 % Wilson interval {100 * lo:.1f}-{100 * hi:.1f} %)")
    ran = t["planted"] - t["compile"]
    if ran < data["sample_wanted"]:
        print(f"  incomplete: {ran} of {data['sample_wanted']} faults that compile were run")
    seconds = [r["seconds"] for r in rows]
    if seconds:
        print(f"  time per fault: median {sorted(seconds)[len(seconds) // 2]:.0f} s, mean "
              f"{sum(seconds) / len(seconds):.0f} s; whole run {data['wall_seconds'] / 60:.0f} min")
    table("unit", group(rows, "unit"))
    table("operator", group(rows, "operator"))
    survivors = [r for r in rows if r["result"] == "SURVIVED"]
    if survivors:
        print("\nsurvivors (records for equivalent.txt once judged equivalent):")
        for r in survivors:
            print(f"\n# {r['id']}\n[{r['file']}] {r['operator']}: ?")
            for line in r["before"].split("\n"):
                print("- " + line.strip())
            for line in r["after"].split("\n"):
                print("+ " + line.strip())
    return t, (lo, hi)


def write_json(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".part"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1)
    os.replace(tmp, path)


# ---------------------------------------------------------------- the modes

def generated_mode(top, args):
    paths = subprocess.run(["git", "ls-files", "--", *GENERATED_FROM], cwd=top, check=True,
                           stdout=subprocess.PIPE).stdout.decode().split()
    paths = [p for p in paths if p.endswith((".cpp", ".hpp")) and os.path.isfile(os.path.join(top, p))]
    population = mutants.generate_all(top, paths)
    if args.units:
        population = [m for m in population if re.search(args.units, m.path)]
    if args.operators:
        wanted = set(args.operators.split(","))
        unknown = wanted - set(mutants.OPERATORS)
        if unknown:
            sys.exit(f"unknown operators: {', '.join(sorted(unknown))} (known: {', '.join(mutants.OPERATORS)})")
        population = [m for m in population if m.operator in wanted]
    equivalents = parse_equivalents(args.equivalents)
    known = [m for m in population if m.key in equivalents]
    pool = [m for m in population if m.key not in equivalents]

    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1, 10 ** 9)
    if args.pick:
        ids = args.pick.split(",")
        by_id = {m.ident: m for m in population}
        missing = [i for i in ids if i not in by_id]
        if missing:
            sys.exit("no generated fault " + ", ".join(missing))
        order = [by_id[i] for i in ids]
        want = len(order)
    else:
        order = list(pool)
        random.Random(seed).shuffle(order)
        want = min(args.sample, len(order))

    print(f"generated faults: {len(population)} in {len({m.path for m in population})} files"
          f" ({len(known)} judged equivalent in {os.path.relpath(args.equivalents, top)}, left out)")
    counts = collections.Counter(m.operator for m in pool)
    print("  by operator: " + ", ".join(f"{op} {counts[op]}" for op in mutants.OPERATORS))
    if not args.pick:
        print(f"seed {seed}: sample of {want} faults that compile (replay with --seed {seed})", flush=True)
    if args.dry_run:
        for m in order[:want]:
            print(f"  {m.ident}\n      - {short(m.before)}\n      + {short(m.after)}")
        return 0

    items = [Generated(m, k) for k, m in enumerate(order)]
    done = []
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    out_path = os.path.join(args.out, f"mutate-{stamp}-seed{seed}.json")

    def batches():
        taken = 0
        while True:
            need = want - sum(1 for f in done if compiled(f.result))
            if need <= 0 or taken >= len(items):
                return
            batch = items[taken:taken + need]
            taken += len(batch)
            yield batch

    started = time.time()

    def record(results, suite_seconds, partial):
        sample = []
        for f in sorted(results, key=lambda f: f.order):
            if sum(1 for x in sample if compiled(x.result)) >= want:
                break
            sample.append(f)
        data = {"seed": seed, "partial": partial, "sample_wanted": want, "population": len(population),
                "judged_equivalent_left_out": len(known), "units": args.units, "operators": args.operators,
                "commit": git_head(top), "suite_seconds": suite_seconds, "wall_seconds": time.time() - started,
                "faults": [dict(f.m.to_json(), result=f.result, seconds=round(f.seconds, 1), caught_by=f.catchers,
                                order=f.order) for f in sample]}
        t = tally(data["faults"])
        data["summary"] = dict(t, share=(t["caught"] / t["changing"]) if t["changing"] else None,
                               wilson95=list(wilson(t["caught"], t["changing"])))
        write_json(out_path, data)
        return data

    def report(f):
        done.append(f)
        n = sum(1 for x in done if compiled(x.result))
        print(f"[{n:3d}/{want}] {f.result:17s} {f.seconds:5.0f}s  {f.name}", flush=True)
        if args.who and f.catchers:
            print("      caught by: " + ", ".join(f.catchers), flush=True)
        record(done, 0.0, True)

    suite_seconds = run_jobs(top, args, batches, report, args.timeout)
    summarise(record(done, suite_seconds, False), equivalents)
    print(f"\nresults: {out_path}")
    return 0


def rescore_mode(args):
    equivalents = parse_equivalents(args.equivalents)
    pooled = {"caught": 0, "changing": 0, "seeds": []}
    for path in args.rescore:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        t, _ = summarise(data, equivalents)
        pooled["caught"] += t["caught"]
        pooled["changing"] += t["changing"]
        pooled["seeds"].append(str(data["seed"]))
    if len(args.rescore) > 1 and pooled["changing"]:
        k, n = pooled["caught"], pooled["changing"]
        lo, hi = wilson(k, n)
        print(f"\npooled over seeds {', '.join(pooled['seeds'])}: caught {k} of {n} behaviour-changing faults "
              f"({100.0 * k / n:.1f} %, 95 % Wilson interval {100 * lo:.1f}-{100 * hi:.1f} %)")
    return 0


def listed_mode(top, args):
    faults = select(parse_faults(args.faults), args.only)
    if args.check:
        for f in faults:
            path = os.path.join(top, f.path)
            problem = "no such file"
            if os.path.isfile(path):
                with open(path, encoding="utf-8") as fh:
                    problem = f.problem(fh.read())
            print(f"{f.number:3d} {'applies' if problem is None else problem:22s} {f.path}: {f.what}")
        return 0

    def report(f):
        print(f"{f.result:17s} {f.seconds:6.0f}s  {f.name}", flush=True)
        if args.who and f.catchers:
            print("      caught by: " + ", ".join(f.catchers), flush=True)

    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    run_jobs(top, args, lambda: iter([faults]), report, args.timeout)
    for f in faults:
        f.result = f.result or "not run"
    inapplicable = [f for f in faults if f.result.startswith("not applicable")]
    broken = [f for f in faults if not compiled(f.result)]
    hit = [f for f in faults if caught(f.result)]
    survived = [f for f in faults if f.result == "SURVIVED"]
    harmless = [f for f in survived if f.harmless]
    same = [f for f in faults if f.result == "same code"]
    counted = len(hit) + len(survived) - len(harmless)
    print()
    print(f"faults: {len(faults)}; not applicable: {len(inapplicable)}; not compiling: {len(broken)}; "
          f"same machine code: {len(same)}; surviving and marked harmless: {len(harmless)}")
    share = 100.0 * len(hit) / counted if counted else 0.0
    lo, hi = wilson(len(hit), counted)
    print(f"behaviour-changing: {counted}; caught: {len(hit)} ({share:.1f} %, 95 % Wilson interval "
          f"{100 * lo:.1f}-{100 * hi:.1f} %)")
    for f in survived:
        note = f" -- harmless: {f.harmless}" if f.harmless else ""
        print(f"  survived {f.number}: {f.path}: {f.what}{note}")
    for f in inapplicable + same:
        print(f"  {f.result} {f.number}: {f.path}: {f.what}")
    if args.who:
        alone = {}
        for f in hit:
            if len(f.catchers) == 1:
                alone.setdefault(f.catchers[0], []).append(f.number)
        print("\nfaults caught by one test only:")
        for test, numbers in sorted(alone.items()):
            print(f"  {test}: {', '.join(map(str, numbers))}")
    out_path = os.path.join(args.out, f"mutate-listed-{stamp}.json")
    write_json(out_path, {"list": os.path.relpath(args.faults, top), "commit": git_head(top),
                          "faults": [{"number": f.number, "file": f.path, "what": f.what, "result": f.result,
                                      "harmless": f.harmless, "seconds": round(f.seconds, 1),
                                      "caught_by": f.catchers} for f in faults]})
    print(f"\nresults: {out_path}")
    return 0


def git_head(top):
    return subprocess.run(["git", "rev-parse", "HEAD"], cwd=top, stdout=subprocess.PIPE).stdout.decode().strip()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sample", type=int, help="plant a random sample of this many generated faults that compile")
    ap.add_argument("--seed", type=int, help="replay the sample of this seed")
    ap.add_argument("--pick", help="plant these generated faults (FILE:LINE:COL:OPERATOR, comma-separated)")
    ap.add_argument("--units", help="generated faults only in files matching this regular expression")
    ap.add_argument("--operators", help="generated faults only of these operators (comma-separated)")
    ap.add_argument("--equivalents", default=os.path.join(HERE, "equivalent.txt"),
                    help="generated faults judged equivalent (default: equivalent.txt beside this script)")
    ap.add_argument("--rescore", metavar="JSON", nargs="+",
                    help="print saved samples' results again (and pooled), leaving out the survivors judged "
                         "equivalent since")
    ap.add_argument("--dry-run", action="store_true", help="print the population and the sample, plant nothing")
    ap.add_argument("--faults", "--list", dest="faults", default=os.path.join(HERE, "faults.txt"),
                    help="the listed faults (default: faults.txt beside this script)")
    ap.add_argument("--only", help="listed fault numbers to plant, e.g. 3,7-9")
    ap.add_argument("--jobs", type=int, default=1, help="scratch copies planting faults in parallel (default 1)")
    ap.add_argument("--build-jobs", type=int, help="parallel build and test jobs per copy (default 2 with one copy, "
                                                   "else 1)")
    ap.add_argument("--timeout", type=float, help="seconds the suite may take per fault before the fault counts as "
                                                  "caught by timeout (default: 4 times the unchanged suite, at least "
                                                  "600)")
    ap.add_argument("--out", help="directory for the JSON results (default: build/mutate of the checkout)")
    ap.add_argument("--keep", action="store_true", help="keep the scratch copies")
    ap.add_argument("--check", action="store_true", help="only tell which listed faults apply to the checkout")
    ap.add_argument("--who", action="store_true", help="run every test per fault and name those that failed")
    args = ap.parse_args()
    signal.signal(signal.SIGTERM, signal.default_int_handler)  # a killed run still reports and cleans up
    if args.build_jobs is None:
        args.build_jobs = 2 if args.jobs == 1 else 1
    if args.jobs < 1 or args.build_jobs < 1:
        sys.exit("--jobs and --build-jobs must be at least 1")

    top = subprocess.run(["git", "rev-parse", "--show-toplevel"], cwd=HERE, check=True,
                         stdout=subprocess.PIPE).stdout.decode().strip()
    args.out = os.path.abspath(args.out or os.path.join(top, "build", "mutate"))
    if args.rescore:
        return rescore_mode(args)
    if args.sample is not None or args.pick:
        if args.sample is not None and args.sample < 1:
            sys.exit("--sample must be at least 1")
        return generated_mode(top, args)
    return listed_mode(top, args)


if __name__ == "__main__":
    sys.exit(main())
