#!/usr/bin/env python3
"""The mutation run's steps, called by scripts/mutate.sh.

  mutate.py sync SRC DEST          make DEST a copy of SRC (without build/ and .git)
  mutate.py trees LIST [ID...]     the build trees those mutants need
  mutate.py run LIST SCRATCH OUT [ID...]
                                   apply each mutant to SCRATCH, rebuild, test
"""
import os
import re
import shutil
import subprocess
import sys
import threading
import time

SKIPPED_TOP = {"build", ".git"}


def sync(src, dest):
    """Copies only files whose content differs, so that the build trees in
    DEST rebuild only what changed; removes files SRC no longer has."""
    seen = set()
    for root, dirs, files in os.walk(src):
        rel = os.path.relpath(root, src)
        if rel == ".":
            dirs[:] = [d for d in dirs if d not in SKIPPED_TOP]
        for name in files:
            path = os.path.normpath(os.path.join(rel, name))
            seen.add(path)
            a, b = os.path.join(src, path), os.path.join(dest, path)
            with open(a, "rb") as f:
                data = f.read()
            try:
                with open(b, "rb") as f:
                    if f.read() == data:
                        continue
            except OSError:
                pass
            os.makedirs(os.path.dirname(b), exist_ok=True)
            with open(b, "wb") as f:
                f.write(data)
            shutil.copymode(a, b)
    for root, dirs, files in os.walk(dest):
        rel = os.path.relpath(root, dest)
        if rel == ".":
            dirs[:] = [d for d in dirs if d not in SKIPPED_TOP]
        for name in files:
            path = os.path.normpath(os.path.join(rel, name))
            if path not in seen:
                os.remove(os.path.join(dest, path))


class Mutant:
    def __init__(self, ident, path, build, tests):
        self.ident, self.path, self.build, self.tests = ident, path, build, tests
        self.find = self.replace = None

    @property
    def folder(self):
        return self.path.split("/")[0]

    def change(self, width=44):
        def short(s):
            s = s.strip()
            return s if len(s) <= width else s[: width - 3] + "..."

        return f"{short(self.find)} -> {short(self.replace) or '(dropped)'}"


def parse(list_path):
    mutants, cur = [], None
    with open(list_path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            s = line.strip()
            if not s or s.startswith("#"):
                continue
            if s.startswith("- ") and cur:
                cur.find = s[2:].strip()
            elif (s == "+" or s.startswith("+ ")) and cur:
                cur.replace = s[2:].strip()
            else:
                parts = s.split()
                if len(parts) != 4 or parts[2] not in ("native", "x64"):
                    sys.exit(f"{list_path}:{number}: expected '<id> <file> native|x64 <ctest regex>'")
                cur = Mutant(*parts)
                mutants.append(cur)
    for m in mutants:
        if not m.find or m.replace is None:
            sys.exit(f"{list_path}: {m.ident} needs a '-' line and a '+' line")
    return mutants


def run_cmd(args, timeout=None, log=None):
    """Runs args in its own process group; a time-out kills the whole group
    (a hung Wine test and whatever it started). Returns (rc or None, seconds)."""
    start = time.monotonic()
    with open(log or os.devnull, "ab") as out:
        p = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                             start_new_session=True)
        try:
            rc = p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(p.pid, 9)
            except ProcessLookupError:
                pass
            p.wait()
            rc = None
    return rc, time.monotonic() - start


class Tree:
    """One build tree of the scratch copy: its tests, their targets and times."""

    def __init__(self, scratch, name, logdir):
        self.dir = os.path.join(scratch, "build", name)
        self.name = name
        self.log = os.path.join(logdir, f"mutate-{name}.log")
        listing = subprocess.run(["ctest", "--test-dir", self.dir, "-N"], capture_output=True, text=True).stdout
        self.tests = re.findall(r"Test +#\d+: (\S+)", listing)
        targets = subprocess.run(["ninja", "-C", self.dir, "-t", "targets", "all"], capture_output=True,
                                 text=True).stdout
        self.targets = {line.split(":")[0] for line in targets.splitlines()}
        self.base_seconds = {}

    def covering(self, regex):
        # Fixture set-ups and clean-ups come with the tests that need them.
        return [t for t in self.tests if re.search(regex, t) and t in self.targets]

    def build(self, tests):
        return run_cmd(["cmake", "--build", self.dir, "--target", *tests, "--", f"-j{os.cpu_count() or 2}"],
                       log=self.log)[0] == 0

    def limit(self, test):
        # A hang counts as a kill; the limit leaves room for a loaded machine.
        return max(60.0, 4 * self.base_seconds.get(test, 30.0) + 30)

    def run_test(self, test):
        """'pass', 'fail' or 'timeout', and the seconds it took."""
        rc, seconds = run_cmd(["ctest", "--test-dir", self.dir, "-R", f"^{re.escape(test)}$", "--output-on-failure"],
                              timeout=self.limit(test), log=self.log)
        return ("timeout" if rc is None else "pass" if rc == 0 else "fail"), seconds


def select(list_path, only):
    mutants = parse(list_path)
    if only:
        unknown = set(only) - {m.ident for m in mutants}
        if unknown:
            sys.exit(f"unknown mutants: {' '.join(sorted(unknown))}")
        mutants = [m for m in mutants if m.ident in only]
    return mutants


def run(list_path, scratch, out_path, only):
    mutants = select(list_path, only)
    logdir = os.path.dirname(os.path.abspath(out_path))
    trees = {name: Tree(scratch, name, logdir) for name in {m.build for m in mutants}}

    # The covering tests must pass before any mutant, or a failure would be
    # counted as a kill; their times set the time-outs.
    broken = set()
    for name, tree in sorted(trees.items()):
        needed = sorted({t for m in mutants if m.build == name for t in tree.covering(m.tests)})
        for test in needed:
            result, seconds = tree.run_test(test)
            tree.base_seconds[test] = seconds
            print(f"mutate: unmutated {name} {test}: {result} ({seconds:.1f} s)", flush=True)
            if result != "pass":
                broken.add((name, test))

    # The native and the Windows mutants go side by side: one tree compiles
    # while the other waits for Wine.
    results = {}
    lock = threading.Lock()
    with open(out_path, "w", encoding="utf-8") as out:
        out.write("id\tfolder\tfile\tresult\tdetail\tseconds\tchange\n")

        def worker(name):
            for m in (m for m in mutants if m.build == name):
                started = time.monotonic()
                result, detail = try_mutant(m, scratch, trees[name], broken)
                seconds = time.monotonic() - started
                with lock:
                    results[m.ident] = (result, detail)
                    out.write(f"{m.ident}\t{m.folder}\t{m.path}\t{result}\t{detail}\t{seconds:.0f}\t{m.change(1000)}\n")
                    out.flush()
                    print(f"mutate: {m.ident} {result} {detail} ({seconds:.0f} s)", flush=True)

        workers = [threading.Thread(target=worker, args=(name,)) for name in sorted(trees)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    rows = [(m, *results[m.ident]) for m in mutants]
    report(rows)
    return 0


def try_mutant(m, scratch, tree, broken):
    path = os.path.join(scratch, m.path)
    try:
        with open(path, encoding="utf-8", newline="") as f:
            original = f.read()
    except OSError:
        return "not applied", "no such file"
    count = original.count(m.find)
    if count != 1:
        return "not applied", "text not found" if count == 0 else f"text found {count} times"
    tests = tree.covering(m.tests)
    if not tests:
        return "not applied", f"no test matches {m.tests}"
    if any((tree.name, t) in broken for t in tests):
        return "not applied", "a covering test fails unmutated"
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(original.replace(m.find, m.replace))
    try:
        if not tree.build(tests):
            return "build failed", ""
        # Quickest first, and the first failure ends it.
        for test in sorted(tests, key=lambda t: tree.base_seconds.get(t, 0)):
            result, _ = tree.run_test(test)
            if result == "fail":
                return "killed", test
            if result == "timeout":
                return "killed", f"{test} (timeout)"
        return "survived", ""
    finally:
        # Written back with a new time stamp: the next build of anything that
        # uses the file compiles it again (a ccache hit).
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(original)


def report(rows):
    print()
    print(f"{'id':<4} {'folder':<9} {'file':<34} {'change':<92} result")
    for m, result, detail in rows:
        shown = result + (f" ({detail})" if detail else "")
        print(f"{m.ident:<4} {m.folder:<9} {m.path:<34} {m.change():<92} {shown}")
    killed = sum(1 for _, r, _ in rows if r == "killed")
    survived = sum(1 for _, r, _ in rows if r == "survived")
    failed = sum(1 for _, r, _ in rows if r == "build failed")
    missing = sum(1 for _, r, _ in rows if r == "not applied")
    tested = killed + survived
    rate = f"{100.0 * killed / tested:.0f}%" if tested else "n/a"
    print()
    print(f"mutants {len(rows)}: killed {killed}, survived {survived}, build failed {failed}, not applied {missing}")
    print(f"kill rate (killed / applied and built): {killed}/{tested} = {rate}")
    survivors = [m.ident for m, r, _ in rows if r == "survived"]
    if survivors:
        print("survived: " + " ".join(survivors))


def main(argv):
    if len(argv) >= 3 and argv[0] == "sync":
        sync(argv[1], argv[2])
        return 0
    if len(argv) >= 2 and argv[0] == "trees":
        print(" ".join(sorted({m.build for m in select(argv[1], argv[2:])})))
        return 0
    if len(argv) >= 4 and argv[0] == "run":
        return run(argv[1], argv[2], argv[3], argv[4:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
