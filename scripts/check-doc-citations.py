#!/usr/bin/env python3
"""Every test, benchmark and fuzz target the documents cite exists.

Usage: check-doc-citations.py SOURCE_DIR TEST_BINARY...

Documents: README.md and every *.md under docs/. A test is cited in backticks as
`Suite.Name`, `Suite.*` (any test of the suite) or `Suite.Prefix...` (a test of the suite
whose name starts so); it must be listed by one of the test binaries (--gtest_list_tests).
A benchmark BM_Name must be registered in bench/, a fuzz target fuzz_name must have its
source in fuzz/. A sample event id (`"event_id":"<uuid>"`) must be a UUID of version 7,
the only kind the library makes.
"""
import pathlib
import re
import subprocess
import sys

TEST = re.compile(r"`([A-Z][A-Za-z0-9_]*)\.(\*|[A-Z][A-Za-z0-9_]*(?:\.\.\.)?)`")
BENCHMARK = re.compile(r"\bBM_[A-Za-z0-9_]+")
FUZZ_TARGET = re.compile(r"\bfuzz_[a-z0-9_]+")
EVENT_ID = re.compile(r'"event_id"\s*:\s*"([0-9a-f]{8}-[0-9a-f]{4}-([0-9a-f])[0-9a-f]{3}-'
                      r'([0-9a-f])[0-9a-f]{3}-[0-9a-f]{12})"')


def listed_tests(binaries):
    tests = set()
    for binary in binaries:
        out = subprocess.run([binary, "--gtest_list_tests"], capture_output=True, text=True,
                             timeout=60, check=True).stdout
        suite = None
        for line in out.splitlines():
            line = line.split("#")[0].rstrip()
            if not line or line.startswith("Running main()"):
                continue
            if not line.startswith(" "):
                suite = line.rstrip(".").split("/")[-1]  # a parameterized suite's own name
            elif suite:
                tests.add((suite, line.strip().split("/")[0]))
    return tests


def cited(suite, name, tests):
    if name == "*":
        return any(s == suite for s, _ in tests)
    if name.endswith("..."):
        return any(s == suite and n.startswith(name[:-3]) for s, n in tests)
    return (suite, name) in tests


def main():
    source = pathlib.Path(sys.argv[1])
    tests = listed_tests(sys.argv[2:])
    bench = "".join(p.read_text() for p in sorted((source / "bench").glob("*.cpp")))
    documents = [source / "README.md"] + sorted((source / "docs").rglob("*.md"))
    checked, missing = 0, []
    for document in documents:
        for number, line in enumerate(document.read_text().splitlines(), 1):
            where = f"{document.relative_to(source)}:{number}"
            for suite, name in TEST.findall(line):
                checked += 1
                if not cited(suite, name, tests):
                    missing.append(f"{where}: test {suite}.{name}")
            for benchmark in BENCHMARK.findall(line):
                checked += 1
                if not re.search(r"\b" + benchmark + r"\b", bench):
                    missing.append(f"{where}: benchmark {benchmark}")
            for uuid, version, variant in EVENT_ID.findall(line):
                checked += 1
                if version != "7" or variant not in "89ab":
                    missing.append(f"{where}: a version-7 event id, not {uuid}")
            for target in FUZZ_TARGET.findall(line):
                checked += 1
                if not (source / "fuzz" / f"{target}.cpp").is_file():
                    missing.append(f"{where}: fuzz target {target}")
    for problem in missing:
        print(f"not found: {problem}")
    print(f"{checked} citations in {len(documents)} documents checked against "
          f"{len(tests)} tests, {len(missing)} not found")
    return 1 if missing or not checked or not tests else 0


if __name__ == "__main__":
    sys.exit(main())
