#!/usr/bin/env python3
"""Checks that no file of src/ or server/ includes across a boundary the
targets do not allow.

usage: check_includes.py BOUNDARIES SOURCE_DIR

BOUNDARIES is the build tree's include-boundaries.txt, written by
cmake/include_boundaries.cmake from the target graph: one line per folder that
defines targets, "folder: folders it may include from", "Qt" among them when
its targets get Qt. A file belongs to the nearest folder above it that has a
line. A quoted include is found as the compiler would find it (beside the
file, then below src/ and server/, the include roots); it may name a header of
the file's own folder or of an allowed one. An angle include of Qt (<QWidget>,
<QtCore/...>) needs Qt allowed. Prints one line per crossing and exits 1 when
there is any.
"""
import os
import re
import sys

SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
ROOTS = ("src", "server")


def read_boundaries(path):
    allowed = {}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            folder, _, rest = line.partition(":")
            allowed[folder.strip()] = set(rest.split())
    return allowed


def owner(path, folders):
    """The folder with a boundary line nearest above path (relative), or None."""
    folder = os.path.dirname(path)
    while folder:
        if folder in folders:
            return folder
        folder = os.path.dirname(folder)
    return None


def resolve(source_dir, including, name):
    """The file a quoted include names, relative to source_dir, or None."""
    candidates = [os.path.join(os.path.dirname(including), name)]
    candidates += [os.path.join(root, name) for root in ROOTS]
    for candidate in candidates:
        full = os.path.normpath(os.path.join(source_dir, candidate))
        if os.path.isfile(full):
            return os.path.relpath(full, source_dir)
    return None


def crossings(allowed, source_dir):
    found = []
    for root in ROOTS:
        for dirpath, _, files in os.walk(os.path.join(source_dir, root)):
            for file in sorted(files):
                if not file.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.relpath(os.path.join(dirpath, file), source_dir)
                folder = owner(path, allowed)
                if folder is None:
                    continue
                with open(os.path.join(source_dir, path), encoding="utf-8",
                          errors="replace") as text:
                    for number, line in enumerate(text, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        kind, name = match.groups()
                        if kind == "<":
                            if re.match(r"Q[A-Za-z]", name) and "Qt" not in allowed[folder]:
                                found.append(f"{path}:{number}: includes Qt (<{name}>), "
                                             f"which {folder} does not link")
                            continue
                        target = resolve(source_dir, path, name)
                        if target is None:
                            continue
                        target_folder = owner(target, allowed)
                        if target_folder in (None, folder) or target_folder in allowed[folder]:
                            continue
                        found.append(f"{path}:{number}: includes \"{name}\" of {target_folder}, "
                                     f"which {folder} does not link")
    return found


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    found = crossings(read_boundaries(sys.argv[1]), sys.argv[2])
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} include(s) across a boundary the targets do not allow")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
