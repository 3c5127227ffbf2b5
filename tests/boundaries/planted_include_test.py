#!/usr/bin/env python3
"""The include-boundary check fails on a planted crossing.

usage: planted_include_test.py CHECKER BOUNDARIES SOURCE_DIR

Copies src/ and server/ to a temporary folder, checks that the copy passes,
then plants each include of the table below in turn (alone) and expects the
checker to fail naming the file it was planted in.
"""
import os
import shutil
import subprocess
import sys
import tempfile

# (file, line planted at its top): one per kind of boundary.
PLANTS = [
    ("server/http/http_engine.cpp", '#include "store/sql_store.h"'),      # a room above
    ("server/store/sql_store.cpp", '#include "rpc/json_rpc.h"'),          # a room above
    ("server/rpc/json_rpc.cpp", '#include "admin/admin.h"'),              # the top room
    ("server/http/http_engine.cpp", '#include "platform/sysutils.h"'),    # the client's platform
    ("server/store/statement.cpp", '#include "../../src/host/net_connection.h"'),
    ("src/wire/money.cpp", '#include "platform/sysutils.h"'),             # a layer above the wire
    ("src/platform/sysutils.cpp", '#include "reader/ofx_item.h"'),  # a layer above
    ("src/reader/statement_parse.cpp", '#include "screen/import_ofx_form.h"'),
    ("src/screen/import_ofx_form.cpp", "#include <QWidget>"),             # Qt below src/qt
    ("src/cli/main.cpp", '#include "http/http_engine.h"'),                # the server from a client
]


def check(checker, boundaries, tree):
    return subprocess.run([sys.executable, checker, boundaries, tree],
                          capture_output=True, text=True)


def main():
    checker, boundaries, source_dir = sys.argv[1:4]
    failures = []
    with tempfile.TemporaryDirectory() as tree:
        for top in ("src", "server"):
            shutil.copytree(os.path.join(source_dir, top), os.path.join(tree, top))
        clean = check(checker, boundaries, tree)
        if clean.returncode != 0:
            sys.exit("the unplanted copy does not pass:\n" + clean.stdout)
        for file, line in PLANTS:
            path = os.path.join(tree, file)
            if not os.path.isfile(path):
                failures.append(f"{file} is gone: choose another file to plant in")
                continue
            with open(path, encoding="utf-8") as text:
                original = text.read()
            with open(path, "w", encoding="utf-8") as text:
                text.write(line + "\n" + original)
            result = check(checker, boundaries, tree)
            with open(path, "w", encoding="utf-8") as text:
                text.write(original)
            if result.returncode != 1 or f"{file}:1:" not in result.stdout:
                failures.append(f"{line} in {file} passed the check:\n{result.stdout}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
