#!/usr/bin/env python3
"""Which decoder lines and branches a set of capture files reaches.

Runs, over a build made with coverage counters, what the tests run over the
capture corpora: kestrel-dump --tree, --rows and --hex of every file, and the
sweeps that decode and summarize every prefix of every frame. It then asks
gcov which lines and branches of the decoders, the row texts and the text
helpers ran. Given two sets of files, it lists what the first reaches and the
second does not; an empty list means the second set reaches every decoder rule
the first one does.

    cmake -S . -B build/cov -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTREL_BUILD_GUI=OFF \\
        -DCMAKE_CXX_FLAGS='--coverage -O0' -DCMAKE_EXE_LINKER_FLAGS=--coverage
    cmake --build build/cov --target kestrel-dump decode_tests core_tests
    python3 tools/corpus/corpus_coverage.py build/cov ../shared/captures tests/corpus

Not part of CI: the comparison is made when the corpus changes.
"""
import glob
import gzip
import json
import os
import subprocess
import sys
import tempfile

SOURCES = [
    "decode/decode_ethernet.cpp", "decode/decode_arp.cpp",
    "decode/decode_ip.cpp", "decode/decode_icmp.cpp",
    "decode/decode_igmp.cpp", "decode/decode_tcp.cpp",
    "decode/decode_udp.cpp", "decode/decode_tree.cpp",
    "core/row_text.cpp", "core/text_helpers.cpp", "core/local_time.cpp",
]


def captures(folder):
    return sorted(p for p in glob.glob(os.path.join(folder, "*"))
                  if p.endswith((".pcap", ".pcapng")))


def run(build, folder, empty):
    """Runs everything over the files of `folder`; gives {source: (lines, branches)}."""
    for gcda in glob.glob(os.path.join(build, "**", "*.gcda"), recursive=True):
        os.remove(gcda)
    dump = os.path.join(build, "kestrel-dump", "kestrel-dump")
    for path in captures(folder):
        for mode in ("--tree", "--rows", "--hex"):
            subprocess.run([dump, mode, path], stdout=subprocess.DEVNULL, check=True,
                           env=dict(os.environ, TZ="UTC"))
    # The sweeps read the peer folder and the project's corpus: point one at
    # `folder` and the other at an empty folder.
    env = dict(os.environ, TZ="UTC", KESTREL_CAPTURES_DIR=folder, KESTREL_CORPUS_DIR=empty)
    for program, tests in (("tests/decode/decode_tests", "DecodeTruncation.*"),
                           ("tests/core/core_tests", "RowTexts.EveryTruncation*")):
        subprocess.run([os.path.join(build, program), "--gtest_filter=" + tests],
                       stdout=subprocess.DEVNULL, env=env)
    reached = {}
    with tempfile.TemporaryDirectory() as work:
        for source in SOURCES:
            folder_of = "decode/CMakeFiles/kestrel_decode.dir" if source.startswith("decode") \
                else "core/CMakeFiles/kestrel_core.dir"
            gcda = os.path.join(os.path.abspath(build), folder_of,
                                os.path.basename(source) + ".gcda")
            subprocess.run(["gcov", "--json-format", "--branch-probabilities", gcda],
                           cwd=work, stdout=subprocess.DEVNULL, check=True)
            lines, branches = set(), set()
            for report in glob.glob(os.path.join(work, "*.gcov.json.gz")):
                with gzip.open(report) as f:
                    data = json.load(f)
                os.remove(report)
                for entry in data["files"]:
                    if not entry["file"].endswith(source):
                        continue
                    for line in entry["lines"]:
                        if line["count"] > 0:
                            lines.add(line["line_number"])
                        for i, branch in enumerate(line.get("branches", [])):
                            if branch["count"] > 0 and not branch["throw"]:
                                branches.add((line["line_number"], i))
            reached[source] = (lines, branches)
    return reached


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    build, first, second = sys.argv[1:]
    with tempfile.TemporaryDirectory() as empty:
        a = run(build, os.path.abspath(first), empty)
        b = run(build, os.path.abspath(second), empty)
    missing = 0
    for source in SOURCES:
        (la, ba), (lb, bb) = a[source], b[source]
        lines = sorted(la - lb)
        branches = sorted(ba - bb)
        missing += len(lines) + len(branches)
        print(f"{source}: lines {len(la)} / {len(lb)}, branches {len(ba)} / {len(bb)}")
        if lines:
            print("  lines only the first reaches:", ", ".join(map(str, lines)))
        if branches:
            print("  branches only the first reaches:",
                  ", ".join(f"{line}#{i}" for line, i in branches))
    print("nothing missing" if missing == 0 else f"{missing} lines and branches missing")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
