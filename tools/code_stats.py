#!/usr/bin/env python3
"""Size and layering figures of the sources under src/.

    tools/code_stats.py [--files] [--rev REV] [TOP]     (default TOP 10)

Prints the largest files and functions (lines, from universal-ctags' start and
end lines) and every include arrow between two folders of src/ ("." is the
top level) with the number of includes that make it; --files lists them.
--rev measures the sources of a commit instead of the working tree, so a
before and after compare the same way: --rev 427cc41 and --rev main.
"""
import collections
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(ROOT, "src")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources():
    for folder, _, names in os.walk(SRC):
        for name in sorted(names):
            if name.endswith((".cpp", ".h")):
                yield os.path.relpath(os.path.join(folder, name), ROOT)


def folder_of(path):
    rel = os.path.relpath(os.path.dirname(os.path.join(ROOT, path)), SRC)
    return "." if rel == "." else rel


def resolve(path, target):
    for base in (os.path.dirname(os.path.join(ROOT, path)), SRC):
        full = os.path.normpath(os.path.join(base, target))
        if os.path.isfile(full):
            return os.path.relpath(full, ROOT)
    return None


def functions(files):
    out = subprocess.run(["ctags", "--c++-kinds=f", "--fields=+ne", "-f", "-"] + files,
                         cwd=ROOT, capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        parts = line.split("\t")
        fields = dict(p.split(":", 1) for p in parts[3:] if ":" in p)
        if "line" in fields and "end" in fields:
            scope = fields.get("class", fields.get("struct", ""))
            scope = re.sub(r"__anon\w+", "(anonymous)", scope)
            name = f"{scope}::{parts[0]}" if scope else parts[0]
            yield int(fields["end"]) - int(fields["line"]) + 1, f"{parts[1]}:{fields['line']}", name


def checkout(rev, into):
    """The src/ folder of commit REV, unpacked below INTO."""
    archive = subprocess.run(["git", "-C", ROOT, "archive", rev, "src"],
                             capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-C", into], input=archive, check=True)


def main():
    global ROOT, SRC
    args = sys.argv[1:]
    listFiles = "--files" in args
    args = [a for a in args if a != "--files"]
    rev = None
    if "--rev" in args:
        at = args.index("--rev")
        rev = args[at + 1]
        del args[at:at + 2]
    top = int(args[0]) if args else 10
    if rev is None:
        report(listFiles, top)
        return
    with tempfile.TemporaryDirectory() as tmp:
        checkout(rev, tmp)
        ROOT, SRC = tmp, os.path.join(tmp, "src")
        report(listFiles, top)


def report(listFiles, top):
    files = list(sources())
    sizes = []
    arrows = collections.defaultdict(set)
    for f in files:
        with open(os.path.join(ROOT, f), encoding="utf-8", errors="replace") as fh:
            text = fh.read()
        sizes.append((text.count("\n"), f))
        for inc in INCLUDE.findall(text):
            target = resolve(f, inc)
            if target and folder_of(target) != folder_of(f):
                arrows[(folder_of(f), folder_of(target))].add(f"{f} -> {target}")

    print(f"Largest files ({len(files)} files, {sum(n for n, _ in sizes)} lines):")
    for n, f in sorted(sizes, reverse=True)[:top]:
        print(f"  {n:5d}  {f}")
    print("Largest functions (lines):")
    for n, where, name in sorted(functions(files), reverse=True)[:top]:
        print(f"  {n:5d}  {name}  ({where})")
    print("Include arrows between folders:")
    for (a, b), why in sorted(arrows.items()):
        print(f"  {a} -> {b}: {len(why)}")
        if listFiles:
            for w in sorted(why):
                print(f"      {w}")


if __name__ == "__main__":
    main()
