#!/usr/bin/env python3
"""Makes a Markdown document a page of the API reference.

Usage: doc-page.py IN OUT PAGE

Every heading outside code blocks gets the anchor GitHub gives it ({#slug}), so that
links between sections (`[Versioning](#versioning)`) resolve in Doxygen as they do on
GitHub; the first heading becomes the page, labelled PAGE.
"""
import re
import sys


def slug(title):
    return re.sub(r"[^a-z0-9 _-]", "", title.lower()).replace(" ", "-")


def main():
    source, target, page = sys.argv[1:4]
    out, fenced, first = [], False, True
    for line in open(source, encoding="utf-8").read().splitlines():
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and re.match(r"#+ ", line):
            label = page if first else slug(line.lstrip("#").strip())
            first = False
            line += " {#" + label + "}"
        out.append(line)
    with open(target, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
