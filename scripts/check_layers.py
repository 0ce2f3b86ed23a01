#!/usr/bin/env python3
"""Fails when an #include in src/ points up or sideways in the layer order of
docs/architecture.md, or when a folder of src/ is missing from that order."""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)


def layer_ranks():
    text = (ROOT / "docs" / "architecture.md").read_text(encoding="utf-8")
    block = re.search(r"^```layers\n(.*?)^```", text, re.MULTILINE | re.DOTALL)
    if block is None:
        sys.exit("docs/architecture.md has no ```layers block")
    lines = [line.split() for line in block.group(1).splitlines() if line.strip()]
    # Top first: the last line is layer 0.
    return {folder: len(lines) - 1 - i for i, line in enumerate(lines) for folder in line}


def main():
    ranks = layer_ranks()
    problems = []
    folders = sorted(p.name for p in (ROOT / "src").iterdir() if p.is_dir())
    problems += [f"src/{f}/ is not in the layer order" for f in folders if f not in ranks]
    problems += [f"{f} in the layer order is not a folder of src/" for f in ranks if f not in folders]
    for path in sorted((ROOT / "src").glob("*/*.[ch]pp")):
        here = path.parent.name
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if target == here or here not in ranks or target not in ranks:
                continue
            if ranks[target] >= ranks[here]:
                where = "up" if ranks[target] > ranks[here] else "sideways"
                problems.append(f"{path.relative_to(ROOT)} includes {target}/ ({where})")
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
