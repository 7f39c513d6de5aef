#!/usr/bin/env python3
"""How many realistic faults does the test suite catch?

Plants the faults of a fault list (default: faults.txt beside this script) one
at a time in a scratch copy of the checkout, rebuilds incrementally, runs the
test suite and tells which faults it caught.  Run by hand, not in CI; the whole
list takes a while (a rebuild and a suite run per fault).

    tools/mutate/mutate.py [--faults FILE] [--only N,M-K] [--jobs J] [--keep]
    tools/mutate/mutate.py --check        # only tell which faults still apply
    tools/mutate/mutate.py --who          # run the whole suite per fault and name
                                          # the tests that caught it (slower)

Fault list: records separated by blank lines; "#" lines are comments.

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
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


class Fault:
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


def parse_faults(path):
    faults, current = [], None
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
                current = Fault(len(faults) + 1, line[1:close], line[close + 1:].strip())
                faults.append(current)
                continue
            if current is None:
                sys.exit(f"{path}:{lineno}: a fault starts with [file] and its description")
            if line == "-" or line.startswith("- "):
                current.old.append(line[2:])
            elif line == "+" or line.startswith("+ "):
                current.new.append(line[2:])
            elif line.startswith("harmless:"):
                current.harmless = line[len("harmless:"):].strip()
            else:
                sys.exit(f"{path}:{lineno}: expected '- ', '+ ' or 'harmless:' in a fault")
    for f in faults:
        if not f.old:
            sys.exit(f"{path}: fault {f.number} ({f.what}) has no original text")
    return faults


def select(faults, only):
    if not only:
        return faults
    wanted = set()
    for part in only.split(","):
        lo, _, hi = part.partition("-")
        wanted.update(range(int(lo), int(hi or lo) + 1))
    return [f for f in faults if f.number in wanted]


def run(cmd, cwd, timeout):
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        return p.returncode, p.stdout.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        return -1, "timed out"


def applicability(fault, tree):
    path = os.path.join(tree, fault.path)
    if not os.path.isfile(path):
        return "no such file"
    with open(path, encoding="utf-8") as f:
        n = f.read().count(fault.original)
    return None if n == 1 else ("text not found" if n == 0 else f"text found {n} times")


def copy_checkout(top, scratch):
    files = subprocess.run(["git", "ls-files", "-z"], cwd=top, check=True, stdout=subprocess.PIPE).stdout
    for rel in filter(None, files.decode().split("\0")):
        src = os.path.join(top, rel)
        if not os.path.isfile(src):  # deleted in the working tree
            continue
        dst = os.path.join(scratch, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--faults", default=os.path.join(HERE, "faults.txt"))
    ap.add_argument("--only", help="fault numbers to plant, e.g. 3,7-9")
    ap.add_argument("--jobs", type=int, default=2, help="parallel build and test jobs (default 2)")
    ap.add_argument("--keep", action="store_true", help="keep the scratch copy")
    ap.add_argument("--check", action="store_true", help="only tell which faults apply to the checkout")
    ap.add_argument("--who", action="store_true", help="run every test per fault and name those that failed")
    args = ap.parse_args()

    top = subprocess.run(["git", "rev-parse", "--show-toplevel"], cwd=HERE, check=True,
                         stdout=subprocess.PIPE).stdout.decode().strip()
    faults = select(parse_faults(args.faults), args.only)

    if args.check:
        for f in faults:
            problem = applicability(f, top)
            print(f"{f.number:3d} {'applies' if problem is None else problem:22s} {f.path}: {f.what}")
        return 0

    scratch = tempfile.mkdtemp(prefix="quorin-mutate-")
    tree, build = os.path.join(scratch, "src"), os.path.join(scratch, "build")
    print(f"scratch copy: {scratch}", flush=True)
    try:
        copy_checkout(top, tree)
        samples = os.environ.get("QUORIN_SAMPLES_DIR") or os.path.join(os.path.dirname(top), "shared", "samples",
                                                                        "gaussian")
        rc, out = run(["cmake", "-S", tree, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DQUORIN_BUILD_BENCH=OFF",
                       "-DQUORIN_SAMPLES_DIR=" + samples], scratch, 600)
        if rc != 0:
            sys.exit("configure failed:\n" + out)
        build_cmd = ["cmake", "--build", build, "-j", str(args.jobs)]
        test_cmd = ["ctest", "--test-dir", build, "-j", str(args.jobs), "--timeout", "90", "-LE", "physical"]
        if not args.who:
            test_cmd.append("--stop-on-failure")
        rc, out = run(build_cmd, scratch, 3600)
        if rc != 0:
            sys.exit("the unchanged checkout does not build:\n" + out[-4000:])
        rc, out = run(test_cmd, scratch, 3600)
        if rc != 0:
            sys.exit("the suite fails on the unchanged checkout:\n" + out[-4000:])

        for f in faults:
            start = time.time()
            problem = applicability(f, tree)
            if problem is not None:
                f.result = "not applicable (" + problem + ")"
            else:
                path = os.path.join(tree, f.path)
                with open(path, encoding="utf-8") as fh:
                    original = fh.read()
                try:
                    with open(path, "w", encoding="utf-8") as fh:
                        fh.write(original.replace(f.original, f.replacement, 1))
                    rc, _ = run(build_cmd, scratch, 1800)
                    if rc != 0:
                        f.result = "does not compile"
                    else:
                        rc, out = run(test_cmd, scratch, 1800)
                        f.result = "caught" if rc != 0 else "SURVIVED"
                        f.catchers = [line.split(" - ", 1)[1].split(" (")[0].strip()
                                      for line in out.splitlines() if " - " in line and "(" in line and
                                      line.strip()[:1].isdigit()] if rc != 0 else []
                finally:
                    with open(path, "w", encoding="utf-8") as fh:
                        fh.write(original)
            f.seconds = time.time() - start
            print(f"{f.number:3d} {f.result:16s} {f.seconds:6.0f}s  {f.path}: {f.what}", flush=True)
            if args.who and f.catchers:
                print("      caught by: " + ", ".join(f.catchers), flush=True)
    finally:
        if args.keep:
            print(f"kept: {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)

    inapplicable = [f for f in faults if f.result.startswith("not applicable")]
    broken = [f for f in faults if f.result == "does not compile"]
    caught = [f for f in faults if f.result == "caught"]
    survived = [f for f in faults if f.result == "SURVIVED"]
    harmless = [f for f in survived if f.harmless]
    counted = len(caught) + len(survived) - len(harmless)
    print()
    print(f"faults: {len(faults)}; not applicable: {len(inapplicable)}; not compiling: {len(broken)}; "
          f"surviving and marked harmless: {len(harmless)}")
    share = 100.0 * len(caught) / counted if counted else 0.0
    print(f"behaviour-changing: {counted}; caught: {len(caught)} ({share:.1f} %)")
    for f in survived:
        note = f" -- harmless: {f.harmless}" if f.harmless else ""
        print(f"  survived {f.number}: {f.path}: {f.what}{note}")
    for f in inapplicable:
        print(f"  not applicable {f.number}: {f.path}: {f.what}")
    if args.who:
        alone = {}
        for f in caught:
            if len(f.catchers) == 1:
                alone.setdefault(f.catchers[0], []).append(f.number)
        print("\nfaults caught by one test only:")
        for test, numbers in sorted(alone.items()):
            print(f"  {test}: {', '.join(map(str, numbers))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
