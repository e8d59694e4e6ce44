#!/usr/bin/env python3
"""Makes a Markdown document a page of the API reference.

Usage: doc-page.py IN OUT PAGE

The first heading becomes the page, labelled PAGE; every other heading outside code
blocks gets the anchor GitHub gives it, prefixed with the page's label
({#PAGE-slug}), so that the same section name in two documents cannot clash.

Links are rewritten so that they resolve in Doxygen as they do on GitHub:
- `[Versioning](#versioning)` (a section of this document) becomes
  `[Versioning](@ref PAGE-versioning)`;
- a link to another document that is a page, `[Exposures](exposures.md)` or
  `[Outcomes](docs/exposures.md#outcomes)`, becomes `@ref` of that page's label (or of
  its section's). The pages (is_page()) are README.md, labelled `readme`, and the
  guides in docs/ whose file name is in lower case, labelled with it without `.md`
  (what cmake/OrvDocs.cmake passes as PAGE); docs/mainpage.md is the main page, and
  the upper-case documents (docs/ARCHITECTURE.md, docs/SECURITY.md) are kept for the
  repository only;
- a link to any other file of the repository (`ARCHITECTURE.md`, `../examples`)
  becomes its text followed by the path, since the reference does not hold the file;
- links with a scheme (https:, mailto:) and `@ref` links are left as they are.
"""
import os
import re
import sys

LINK = re.compile(r"\[([^\]]*)\]\(([^)\s]+)\)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1", re.DOTALL)


def slug(title):
    return re.sub(r"[^a-z0-9 _-]", "", title.lower()).replace(" ", "-")


def is_page(path):
    """Whether the document at path is a page of the reference besides the main page."""
    name = os.path.basename(path)
    stem = name[:-len(".md")] if name.endswith(".md") else ""
    return name == "README.md" or (stem == stem.lower() and stem not in ("", "mainpage"))


def page_label(path):
    """The page label of a document: readme for README.md, the file's stem for a guide."""
    name = os.path.basename(path)
    return "readme" if name == "README.md" else name[:-len(".md")]


def rewrite_link(match, source, page):
    text, target = match.group(1), match.group(2)
    if re.match(r"[a-z][a-z0-9+.-]*:", target) or target.startswith("@ref"):
        return match.group(0)
    path, _, anchor = target.partition("#")
    if not path:
        return f"[{text}](@ref {page}-{anchor})"
    resolved = os.path.normpath(os.path.join(os.path.dirname(source), path))
    if is_page(resolved):
        label = page_label(resolved)
        return f"[{text}](@ref {label}-{anchor})" if anchor else f"[{text}](@ref {label})"
    return f"{text} (`{path}`)"


def rewrite_links(text, source, page):
    """Rewrites the links of text outside code blocks, leaving code spans as they are."""
    out, last = [], 0
    for span in CODE_SPAN.finditer(text):
        out.append(LINK.sub(lambda m: rewrite_link(m, source, page), text[last:span.start()]))
        out.append(span.group(0))
        last = span.end()
    out.append(LINK.sub(lambda m: rewrite_link(m, source, page), text[last:]))
    return "".join(out)


def main():
    source, target, page = sys.argv[1:4]
    out, prose, fenced, first = [], [], False, True

    def end_prose():
        if prose:
            out.append(rewrite_links("\n".join(prose), source, page))
            prose.clear()

    for line in open(source, encoding="utf-8").read().splitlines():
        if line.lstrip().startswith("```"):
            end_prose()
            fenced = not fenced
            out.append(line)
        elif fenced:
            out.append(line)
        else:
            if re.match(r"#+ ", line):
                label = page if first else page + "-" + slug(line.lstrip("#").strip())
                first = False
                line += " {#" + label + "}"
            prose.append(line)
    end_prose()
    with open(target, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
