#!/usr/bin/env python3
"""Runs the deliberate faults of tests/mutants.txt against the tests.

Each mutant replaces one exact text in one source file. The runner keeps a
scratch copy of the source tree and one build of it (no desktop program, no
benchmarks), applies a mutant, rebuilds only what the mutant's tests run (their
test programs and the command-line programs they start), runs those tests and
puts the file back. A mutant the tests fail on is killed; one they pass is a
survivor: a fault that would land unnoticed.

Lines of the list: path | exact text | replacement | ctest regex | why
(the text must occur exactly once; \\n and \\t are read as escapes).
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# Programs that tests start as processes: always rebuilt with the mutant.
PROGRAMS = ["nxupdate-cli", "nxsim"]


def unescape(text):
    return text.replace("\\n", "\n").replace("\\t", "\t")


class Mutant:
    def __init__(self, line_no, fields):
        self.line = line_no
        self.path, self.text, self.replacement = fields[0], unescape(fields[1]), unescape(fields[2])
        self.regex = fields[3] if len(fields) > 3 and fields[3] else "."
        self.why = fields[4] if len(fields) > 4 else ""

    def name(self):
        return f"{self.path}:{self.line}" + (f" ({self.why})" if self.why else "")


def read_list(path):
    mutants = []
    for no, raw in enumerate(Path(path).read_text().splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        fields = [f.strip() for f in line.split(" | ")]
        if len(fields) < 3:
            sys.exit(f"{path}:{no}: needs at least path | text | replacement")
        mutants.append(Mutant(no, fields))
    return mutants


def run(cmd, cwd=None, timeout=None):
    return subprocess.run(cmd, cwd=cwd, timeout=timeout, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)


def sync_tree(src):
    """The scratch copy: tracked and new files of the repository, copied when
    they differ, so that an unchanged file keeps its time and its objects."""
    files = run(["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT).stdout.split("\n")
    for rel in filter(None, files):
        a, b = ROOT / rel, src / rel
        if not a.is_file():
            continue
        if b.is_file() and b.read_bytes() == a.read_bytes():
            continue
        b.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(a, b)
        os.utime(b)  # newer than any object built from an older copy


class Build:
    def __init__(self, work, jobs):
        self.src, self.dir, self.jobs = work / "src", work / "build", jobs
        self.targets = {}

    def configure(self):
        sync_tree(self.src)
        if not (self.dir / "build.ninja").exists():
            r = run(["cmake", "-S", str(self.src), "-B", str(self.dir), "-G", "Ninja",
                     "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DNX_GUI=OFF", "-DNX_BENCH=OFF"])
            if r.returncode != 0:
                sys.exit("configure failed:\n" + r.stdout)
        r = run(["ninja", "-C", str(self.dir), f"-j{self.jobs}"])
        if r.returncode != 0:
            sys.exit("the unchanged tree does not build:\n" + r.stdout[-4000:])

    def test_targets(self, regex):
        """The test programs whose tests match regex (from ctest's own list)."""
        if regex not in self.targets:
            r = run(["ctest", "--test-dir", str(self.dir), "-R", regex,
                     "--show-only=json-v1"])
            tests = json.loads(r.stdout).get("tests", []) if r.returncode == 0 else []
            names = {Path(t["command"][0]).name for t in tests if t.get("command")}
            self.targets[regex] = sorted(names)
        return self.targets[regex]

    def build(self, regex):
        return run(["ninja", "-C", str(self.dir), f"-j{self.jobs}"] + PROGRAMS +
                   self.test_targets(regex)).returncode == 0

    def test(self, regex, timeout):
        # No output on failure: a kill is all we need to know.
        r = run(["ctest", "--test-dir", str(self.dir), "-R", regex, f"-j{self.jobs}",
                 "--timeout", str(timeout), "--stop-on-failure"], timeout=timeout * 4)
        return r.returncode == 0, r.stdout


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("list", nargs="?", default=str(ROOT / "tests" / "mutants.txt"))
    ap.add_argument("--work", default=str(ROOT / "build-mutants"),
                    help="scratch copy and its build, kept between runs")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--timeout", type=int, default=300, help="seconds for one test")
    ap.add_argument("--only", help="run the mutants whose path or reason holds this text")
    args = ap.parse_args()

    mutants = read_list(args.list)
    if args.only:
        mutants = [m for m in mutants if args.only in m.name()]
    start = time.monotonic()
    build = Build(Path(args.work), args.jobs)
    build.configure()

    # Every regex must pass on the unchanged tree, or a kill would prove nothing.
    for regex in sorted({m.regex for m in mutants}):
        if not build.test_targets(regex):
            sys.exit(f"no test matches '{regex}'")
        ok, out = build.test(regex, args.timeout)
        if not ok:
            sys.exit(f"the unchanged tree fails the tests '{regex}':\n{out[-4000:]}")
    print(f"baseline: {time.monotonic() - start:.0f} s", flush=True)

    counts = {"KILLED": 0, "SURVIVED": 0, "STALE": 0, "NO-BUILD": 0}
    for m in mutants:
        t0 = time.monotonic()
        path = build.src / m.path
        original = path.read_text() if path.is_file() else ""
        if original.count(m.text) != 1:
            verdict = "STALE"
        else:
            path.write_text(original.replace(m.text, m.replacement))
            try:
                if not build.build(m.regex):
                    verdict = "NO-BUILD"
                else:
                    ok, _ = build.test(m.regex, args.timeout)
                    verdict = "SURVIVED" if ok else "KILLED"
            except subprocess.TimeoutExpired:
                verdict = "KILLED"  # a hang is a failure too
            finally:
                path.write_text(original)  # newer again: the next build takes it
        counts[verdict] += 1
        print(f"{verdict:8} {time.monotonic() - t0:5.0f} s  {m.name()}", flush=True)

    total = time.monotonic() - start
    print(f"{counts['KILLED']} killed, {counts['SURVIVED']} survived"
          f" ({counts['STALE']} stale, {counts['NO-BUILD']} not built) in {total:.0f} s")
    return 0 if counts["KILLED"] == len(mutants) else 1


if __name__ == "__main__":
    sys.exit(main())
