#!/usr/bin/env python3
"""Every test, benchmark and fuzz target the documents cite exists, and every link holds.

Usage: check-doc-citations.py SOURCE_DIR [TEST_BINARY...]

Documents: README.md and every *.md under docs/. A test is cited in backticks as
`Suite.Name`, `Suite.*` (any test of the suite) or `Suite.Prefix...` (a test of the suite
whose name starts so); it must be listed by one of the test binaries (--gtest_list_tests).
A benchmark BM_Name must be registered in bench/, a fuzz target fuzz_name must have its
source in fuzz/. A sample event id (`"event_id":"<uuid>"`) must be a UUID of version 7,
the only kind the library makes.

Links: every relative Markdown link outside code (`[text](docs/x.md)`, `(x.md#anchor)`,
`(#anchor)`, `(../examples/cli-tool)`) names a file or directory that exists, and an
anchor into a Markdown document names one of its headings (as GitHub makes them). Each
guide (every *.md under docs/ but mainpage.md) is linked from README.md, and from
docs/mainpage.md: by `@ref LABEL` when it is a page of the API reference (see
scripts/doc-page.py: the guides named in lower case), else by naming it (`docs/NAME.md`).

Without test binaries only the links are checked (the citations need the binaries).
"""
import pathlib
import re
import runpy
import subprocess
import sys

LINK = re.compile(r"\[([^\]]*)\]\(([^)\s]+)\)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1", re.DOTALL)
# The page rules (slug, is_page, page_label) of scripts/doc-page.py, shared.
DOC_PAGE = runpy.run_path(str(pathlib.Path(__file__).resolve().parent / "doc-page.py"))
slug, is_page, page_label = DOC_PAGE["slug"], DOC_PAGE["is_page"], DOC_PAGE["page_label"]

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


def prose(document):
    """The document's text outside fenced code blocks and code spans."""
    kept, fenced = [], False
    for line in document.read_text().splitlines():
        if line.lstrip().startswith("```"):
            fenced = not fenced
            kept.append("")
        else:
            kept.append("" if fenced else line)
    return CODE_SPAN.sub(lambda m: "\n" * m.group(0).count("\n"), "\n".join(kept))


def anchors(document):
    """The anchors GitHub gives the document's headings (a repeated one gets -1, -2, ...)."""
    seen, fenced = {}, False
    for line in document.read_text().splitlines():
        if line.lstrip().startswith("```"):
            fenced = not fenced
        elif not fenced and re.match(r"#+ ", line):
            anchor = slug(line.lstrip("#").strip())
            count = seen.get(anchor, 0)
            seen[anchor] = count + 1
            if count:
                seen[f"{anchor}-{count}"] = 1
    return set(seen)


def links(document):
    """(line number, target) of every relative link of the document, outside code."""
    text = prose(document)
    for match in LINK.finditer(text):
        target = match.group(2)
        if re.match(r"[a-z][a-z0-9+.-]*:", target) or target.startswith("@"):
            continue
        yield text.count("\n", 0, match.start(2)) + 1, target


def link_problems(source, documents):
    """What the documents' links miss, and which guides README and the main page lack."""
    problems, linked_from_readme = [], set()
    for document in documents:
        for number, target in links(document):
            where = f"{document.relative_to(source)}:{number}"
            path, _, anchor = target.partition("#")
            resolved = (document.parent / path).resolve() if path else document.resolve()
            if not resolved.exists():
                problems.append(f"{where}: link to {target}: no such file")
                continue
            if anchor and resolved.suffix == ".md" and anchor not in anchors(resolved):
                problems.append(f"{where}: link to {target}: no such heading")
            if document.name == "README.md" and document.parent == source:
                linked_from_readme.add(resolved)
    mainpage = source / "docs" / "mainpage.md"
    main_text = mainpage.read_text() if mainpage.is_file() else ""
    for guide in sorted((source / "docs").rglob("*.md")):
        if guide.name == "mainpage.md":
            continue
        name = guide.relative_to(source).as_posix()
        if guide.resolve() not in linked_from_readme:
            problems.append(f"README.md: no link to {name}")
        if is_page(str(guide)):
            if not re.search(r"@ref " + re.escape(page_label(str(guide))) + r"\b",
                             main_text):
                problems.append(f"docs/mainpage.md: no @ref {page_label(str(guide))} "
                                f"({name})")
        elif name not in main_text:
            problems.append(f"docs/mainpage.md: does not name {name}")
    return problems


def main():
    source = pathlib.Path(sys.argv[1]).resolve()
    documents = [source / "README.md"] + sorted((source / "docs").rglob("*.md"))
    problems = link_problems(source, documents)
    for problem in problems:
        print(f"link: {problem}")
    print(f"links of {len(documents)} documents checked, {len(problems)} problems")
    if len(sys.argv) < 3:
        return 1 if problems else 0
    tests = listed_tests(sys.argv[2:])
    bench = "".join(p.read_text() for p in sorted((source / "bench").glob("*.cpp")))
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
    return 1 if missing or problems or not checked or not tests else 0


if __name__ == "__main__":
    sys.exit(main())
