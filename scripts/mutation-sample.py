#!/usr/bin/env python3
"""A fixed sample of mutants over the library's core paths, and whether the tests kill them.

Usage: mutation-sample.py --tree TREE --build BUILD_DIR [--only NAME...] [--json OUT]
                          [--timeout SECONDS] [--test-timeout SECONDS] [--all-binaries]
                          [--list]

Each mutant is one textual change: an exact snippet (part of one line) and its
replacement. The file is found by searching every *.cpp, *.h and *.c under src/,
external/ and tools/ of TREE for the snippet, so the sample keeps working when files
move to other folders or are split; a snippet found nowhere, or more than once, stops
the run before anything is changed.

The run:
1. finds every selected mutant's file;
2. builds the test binaries the selected mutants name (BUILD_DIR/tests/NAME) and runs
   each once on the unchanged tree: if one fails, the run stops (a mutant can only be
   judged against tests that pass);
3. per mutant: writes the changed file, builds the binaries it names (a build failure
   makes it "stillborn": reported, not counted), runs each (--gtest_brief=1, under
   nice, each test in a process of its own as CTest runs them, with a timeout per
   binary, 600 s, and per test, 120 s as CTest's) until one fails or times out ("killed") or all pass ("survived"), and
   always writes the original bytes back;
4. builds the binaries again on the restored tree.

Builds and tests run under `nice -n 10`, builds with -j2. Ctrl-C (or SIGTERM) restores
the file being mutated before the script exits.

Prints one line per mutant (name, file, result, killer, seconds) and "killed K of N"
(N: mutants that compiled); --json OUT writes the same results as JSON. Exits 0 when the
run completed (survivors are a result, not an error), 2 on a setup failure.
"""
import argparse
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

SEARCH_DIRS = ("src", "external", "tools")
SEARCH_SUFFIXES = (".cpp", ".h", ".c")

EXPOSURE = ["orv_exposure_tests"]
EXPORTER = ["orv_exporter_tests"]
MEDIATOR = ["orv_mediator_tests", "orv_exporter_tests"]
COLLECTOR = ["orv_collector_tests"]
ASSIGNMENT = ["orv_assignment_tests"]
STATISTICS = ["orv_statistics_tests"]
SRM = ["orv_statistics_tests", "orv_collector_tests"]
OVERRIDES = ["orv_overrides_tests", "orv_testing_tests"]
STORE = ["orv_collector_tests", "orv_statistics_tests", "orv_assignment_tests"]

# name, find (part of one line, unique in the tree), replace, binaries that should kill it.
MUTANTS = [
    # The exposure de-duplication key: application (the store's suite), bucket,
    # experiment, group.
    dict(name="exposure-key-without-group",
         find="keyPart(experimentGroupId_);",
         replace="std::string();",
         tests=EXPOSURE),
    dict(name="exposure-key-without-bucket",
         find='return keyPart(customBucketId_) + "_" + keyPart(experimentId_)',
         replace='return std::string("_") + keyPart(experimentId_)',
         tests=EXPOSURE),
    dict(name="exposure-memory-records-twice",
         find="if (!store.memoryRecords.insert(recordKeys[i]).second) {",
         replace="if (!store.memoryRecords.insert(recordKeys[i]).second && false) {",
         tests=EXPOSURE + ["orv_testing_tests"]),
    # The outbox after delivery.
    dict(name="exporter-keeps-accepted-batch",
         find="outbox->remove(seqs);",
         replace="(void)seqs;",
         tests=EXPORTER),
    dict(name="outbox-kept-without-consumers",
         find="return removeEvents(seqs);",
         replace="return (void)seqs;",
         tests=MEDIATOR),
    dict(name="outbox-removal-skips-rows",
         find="if (!outbox_.remove(seq)) return false;",
         replace="if (seq < 0) return false;",
         tests=MEDIATOR),
    # Which answers the exporter retries, halves, follows or drops; what the collector
    # answers when it cannot store; when a config fetch honours Retry-After.
    dict(name="export-429-dropped",
         find="(status == 429 || status == 502",
         replace="(status == 502",
         tests=EXPORTER),
    dict(name="export-503-dropped",
         find="status == 503 || status == 504) {",
         replace="status == 504) {",
         tests=EXPORTER),
    dict(name="export-413-dropped",
         find="verdict.kind = Verdict::kTooLarge;",
         replace="verdict.kind = Verdict::kRefused;",
         tests=EXPORTER),
    dict(name="export-308-not-followed",
         find="if (status == 307 || status == 308) {",
         replace="if (status == 307) {",
         tests=EXPORTER),
    dict(name="collector-store-failure-not-retryable",
         find="Answer answer = fail(503,",
         replace="Answer answer = fail(500,",
         tests=COLLECTOR + EXPORTER),
    dict(name="fetch-retry-after-ignored-on-503",
         find="if (raw.status == 429 || raw.status == 503)",
         replace="if (raw.status == 429)",
         tests=["orv_remote_config_tests", "orv_refresh_tests", "orv_table_watch_tests"]),
    # Assignment.
    dict(name="assign-bucket-boundary",
         find="if (point < cumulative) return",
         replace="if (point <= cumulative) return",
         tests=ASSIGNMENT),
    dict(name="assign-hash-input-swapped",
         find='OrvMD5::hex(key + "/" + unit)',
         replace='OrvMD5::hex(unit + "/" + key)',
         tests=ASSIGNMENT),
    dict(name="assign-hash-15-digits",
         find="std::stoull(digest.substr(0, 16), nullptr, 16)",
         replace="std::stoull(digest.substr(0, 15), nullptr, 16)",
         tests=ASSIGNMENT),
    dict(name="assign-max-weight-excluded",
         find="w.int64Value() <= kMaxWeight;",
         replace="w.int64Value() < kMaxWeight;",
         tests=ASSIGNMENT),
    dict(name="assign-intended-share-total",
         find="return static_cast<double>(*mine) / static_cast<double>(total);",
         replace="return static_cast<double>(*mine) / static_cast<double>(total + 1);",
         tests=ASSIGNMENT + EXPOSURE),
    # Statistics.
    dict(name="welch-df-control-n",
         find="vc * vc / (c.n - 1)",
         replace="vc * vc / c.n",
         tests=STATISTICS),
    dict(name="delta-method-ratio-not-squared",
         find="vc *= ratio * ratio / (c.mean * c.mean);",
         replace="vc *= ratio / (c.mean * c.mean);",
         tests=STATISTICS),
    dict(name="sequence-width-log-not-halved",
         find="(0.5 * std::log1p(v) - logAlpha)",
         replace="(std::log1p(v) - logAlpha)",
         tests=STATISTICS),
    dict(name="cuped-theta-inverted",
         find="const double theta = crossProducts / squares;",
         replace="const double theta = squares / crossProducts;",
         tests=STATISTICS),
    dict(name="srm-anytime-likelihood-sign",
         find="- x * std::log(p);",
         replace="+ x * std::log(p);",
         tests=SRM),
    dict(name="srm-chi-square-one-df",
         find="std::erfc(std::sqrt(x))",
         replace="std::erfc(x)",
         tests=SRM),
    # Overrides: the file, and how it joins the configured ones in the table.
    dict(name="overrides-single-file-entry-ignored",
         find="} else if (fromFile.size() > 0) {",
         replace="} else if (fromFile.size() > 1) {",
         tests=OVERRIDES),
    dict(name="overrides-config-beats-file",
         find="joined.insert(joined.end(), fromFile.entries().begin()",
         replace="joined.insert(joined.begin(), fromFile.entries().begin()",
         tests=OVERRIDES),
    dict(name="overrides-change-not-reapplied",
         find="manager.reapplyOverrides();",
         replace="(void)manager;",
         tests=OVERRIDES),
    dict(name="overrides-change-detection-inverted",
         find="changed = !(now == state().seen);",
         replace="changed = (now == state().seen);",
         tests=OVERRIDES),
    # The event store's attribution.
    dict(name="store-last-exposure-as-first",
         find="firsts.push_back({seen[i].experiment, seen[i].group, seen[i].timeMs});",
         replace="firsts.push_back({seen[i].experiment, seen[i].group, seen[j - 1].timeMs});",
         tests=STORE),
    dict(name="store-outcome-at-exposure-excluded",
         find="if (timeMs >= exposedMs) {",
         replace="if (timeMs > exposedMs) {",
         tests=STORE),
    dict(name="store-two-group-units-kept",
         find="mixed = mixed || seen[j].group != seen[i].group;",
         replace="mixed = mixed && seen[j].group != seen[i].group;",
         tests=STORE),
]


class SetupError(Exception):
    pass


def log(text=""):
    print(text, flush=True)


def source_files(tree):
    for top in SEARCH_DIRS:
        root = tree / top
        if not root.is_dir():
            continue
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            for name in sorted(filenames):
                if name.endswith(SEARCH_SUFFIXES):
                    yield pathlib.Path(dirpath) / name


def locate(tree, mutants):
    """Each mutant's file, by its snippet: exactly one occurrence in the whole tree."""
    texts = {}
    for path in source_files(tree):
        try:
            texts[path] = path.read_bytes().decode("utf-8")
        except UnicodeDecodeError:
            texts[path] = path.read_bytes().decode("latin-1")
    found = {}
    problems = []
    for m in mutants:
        if "\n" in m["find"] or "\n" in m["replace"]:
            problems.append(f"{m['name']}: the snippet and its replacement must be one line")
            continue
        if m["find"] == m["replace"]:
            problems.append(f"{m['name']}: the replacement changes nothing")
            continue
        hits = [(p, t.count(m["find"])) for p, t in texts.items() if m["find"] in t]
        total = sum(n for _, n in hits)
        if total != 1:
            where = ", ".join(f"{p.relative_to(tree)} ({n})" for p, n in hits) or "nowhere"
            problems.append(f"{m['name']}: snippet {m['find']!r} found {total} times: {where}")
            continue
        found[m["name"]] = hits[0][0]
    if problems:
        raise SetupError("cannot place every mutant:\n  " + "\n  ".join(problems))
    return found


def build(build_dir, targets):
    cmd = ["nice", "-n", "10", "cmake", "--build", str(build_dir), "--target", *targets,
           "-j2"]
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace")
    return r.returncode == 0, r.stdout


def list_tests(binary):
    """The binary's tests, as --gtest_filter names."""
    r = subprocess.run([str(binary), "--gtest_list_tests"], cwd=str(binary.parent),
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace", timeout=120)
    if r.returncode != 0:
        raise SetupError(f"{binary} --gtest_list_tests failed:\n{tail(r.stdout)}")
    names, suite = [], None
    for line in r.stdout.splitlines():
        if not line.strip():
            continue
        if not line.startswith(" "):
            suite = line.split("#")[0].strip()
        else:
            names.append(suite + line.split("#")[0].strip())
    return names


def run_binary(build_dir, name, timeout, test_timeout):
    """'pass', 'fail' or 'timeout', and the output's tail.

    Each test runs in a process of its own, as CTest runs them (gtest_discover_tests):
    the tests share process-wide singletons and are written to start from a fresh
    process. `timeout` bounds the whole binary, `test_timeout` each test (CTest gives
    each test of the suite 120 s)."""
    binary = build_dir / "tests" / name
    if not binary.is_file():
        raise SetupError(f"no test binary {binary}")
    deadline = time.monotonic() + timeout
    for test in list_tests(binary):
        left = deadline - time.monotonic()
        if left <= 0:
            return "timeout", f"{name}: out of time before {test}"
        proc = subprocess.Popen(["nice", "-n", "10", str(binary), "--gtest_brief=1",
                                 f"--gtest_filter={test}"],
                                cwd=str(binary.parent), stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace",
                                start_new_session=True)
        try:
            out, _ = proc.communicate(timeout=min(left, test_timeout))
        except subprocess.TimeoutExpired:
            kill_group(proc)
            out, _ = proc.communicate()
            return "timeout", f"{test} timed out\n" + tail(out)
        except BaseException:
            kill_group(proc)
            proc.communicate()
            raise
        if proc.returncode != 0:
            return "fail", f"{test} failed (exit {proc.returncode})\n" + tail(out)
    return "pass", ""


def kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def tail(text, lines=25):
    return "\n".join(text.splitlines()[-lines:])


def on_sigterm(signum, frame):
    raise KeyboardInterrupt


def run_mutant(m, path, tree, build_dir, timeout, test_timeout, all_binaries):
    started = time.monotonic()
    result = {"name": m["name"], "file": str(path.relative_to(tree)), "find": m["find"],
              "replace": m["replace"], "tests": m["tests"], "result": None,
              "killed_by": [], "seconds": None, "detail": ""}
    original = path.read_bytes()
    try:
        text = original.decode("utf-8")
        mutated = text.replace(m["find"], m["replace"], 1)
        path.write_bytes(mutated.encode("utf-8"))
        ok, out = build(build_dir, m["tests"])
        if not ok:
            result["result"] = "stillborn"
            result["detail"] = tail(out)
        else:
            result["result"] = "survived"
            for name in m["tests"]:
                verdict, out = run_binary(build_dir, name, timeout, test_timeout)
                if verdict != "pass":
                    result["result"] = "killed"
                    result["killed_by"].append(f"{name}" + (" (timeout)" if verdict == "timeout" else ""))
                    if not result["detail"]:
                        result["detail"] = out
                    if not all_binaries:
                        break
    finally:
        path.write_bytes(original)
    result["seconds"] = round(time.monotonic() - started, 1)
    return result


def main():
    parser = argparse.ArgumentParser(
        description="Run a fixed sample of mutants against the test binaries.")
    parser.add_argument("--tree", required=True, type=pathlib.Path, help="source tree")
    parser.add_argument("--build", required=True, type=pathlib.Path, help="its build directory")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="run these mutants only")
    parser.add_argument("--json", type=pathlib.Path, metavar="OUT", help="write results here")
    parser.add_argument("--timeout", type=float, default=600,
                        help="seconds one test binary may take (default 600)")
    parser.add_argument("--test-timeout", type=float, default=120,
                        help="seconds one test may take (default 120, CTest's for the suite)")
    parser.add_argument("--all-binaries", action="store_true",
                        help="run every named binary even after one has killed the mutant")
    parser.add_argument("--list", action="store_true",
                        help="only place the mutants and list them")
    args = parser.parse_args()
    tree = args.tree.resolve()
    build_dir = args.build.resolve()
    signal.signal(signal.SIGTERM, on_sigterm)

    names = [m["name"] for m in MUTANTS]
    if len(set(names)) != len(names):
        raise SetupError("two mutants share a name")
    mutants = MUTANTS
    if args.only:
        unknown = sorted(set(args.only) - set(names))
        if unknown:
            raise SetupError("no such mutant: " + ", ".join(unknown))
        mutants = [m for m in MUTANTS if m["name"] in args.only]

    files = locate(tree, mutants)
    if args.list:
        for m in mutants:
            log(f"{m['name']:40} {files[m['name']].relative_to(tree)}  [{', '.join(m['tests'])}]")
        return 0

    binaries = []
    for m in mutants:
        for b in m["tests"]:
            if b not in binaries:
                binaries.append(b)
    started = time.monotonic()
    log(f"{len(mutants)} mutants; binaries: {', '.join(binaries)}")
    log("building and running the binaries on the unchanged tree...")
    ok, out = build(build_dir, binaries)
    if not ok:
        raise SetupError("the unchanged tree does not build:\n" + tail(out))
    for b in binaries:
        t0 = time.monotonic()
        verdict, out = run_binary(build_dir, b, args.timeout, args.test_timeout)
        log(f"  {b}: {verdict} ({time.monotonic() - t0:.1f} s)")
        if verdict != "pass":
            raise SetupError(f"{b} does not pass on the unchanged tree:\n{out}")

    results = []
    interrupted = False
    try:
        for i, m in enumerate(mutants, 1):
            r = run_mutant(m, files[m["name"]], tree, build_dir, args.timeout,
                           args.test_timeout, args.all_binaries)
            results.append(r)
            log(f"[{i:2}/{len(mutants)}] {r['name']:40} {r['file']:40} {r['result']:9} "
                f"{', '.join(r['killed_by']) or '-':28} {r['seconds']:7.1f} s")
    except KeyboardInterrupt:
        interrupted = True
        log("interrupted: the file being mutated was restored")
    finally:
        log("rebuilding the restored tree...")
        ok, out = build(build_dir, binaries)
        if not ok:
            log("the restored tree does not build:\n" + tail(out))

    counted = [r for r in results if r["result"] != "stillborn"]
    killed = [r for r in counted if r["result"] == "killed"]
    stillborn = [r for r in results if r["result"] == "stillborn"]
    total = round(time.monotonic() - started, 1)
    log()
    log(f"killed {len(killed)} of {len(counted)}"
        + (f" ({len(stillborn)} stillborn, not counted)" if stillborn else "")
        + (f"; interrupted after {len(results)} of {len(mutants)}" if interrupted else "")
        + f"; {total:.0f} s in all")
    survivors = [r["name"] for r in counted if r["result"] == "survived"]
    if survivors:
        log("survived: " + ", ".join(survivors))
    if args.json:
        args.json.write_text(json.dumps({
            "tree": str(tree), "build": str(build_dir), "killed": len(killed),
            "counted": len(counted), "stillborn": len(stillborn), "mutants": len(mutants),
            "interrupted": interrupted, "seconds": total, "rebuilt": ok,
            "results": results}, indent=2) + "\n")
    return 130 if interrupted else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except SetupError as e:
        print(f"mutation-sample: {e}", file=sys.stderr)
        sys.exit(2)
    except KeyboardInterrupt:
        print("mutation-sample: interrupted", file=sys.stderr)
        sys.exit(130)
