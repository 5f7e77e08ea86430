#!/usr/bin/env python3
"""check_links.py SOURCE_DIR: every relative link in the Markdown files of
the tree leads to a file that exists and, with #anchor, to a heading of it
(GitHub's slugs); every "NAME(1), section TITLE" names a section (.SH or .SS)
of man/NAME.1. Prints each broken one; exits 1 when there is one."""
import os
import re
import sys

SKIP = {".git", "out", "dist"}
LINK = re.compile(r"\[((?:[^\[\]]|\[[^\]]*\])*)\]\(([^)\s]+)\)")
SECTION = re.compile(r"\b(swug-[a-z]+)\(1\),?\s+section\s+([A-Z][A-Z ]*[A-Z])")


def prose(path):
    """The file's lines outside fenced code blocks."""
    fenced = False
    for line in open(path, encoding="utf-8"):
        if line.lstrip().startswith("```"):
            fenced = not fenced
        elif not fenced:
            yield line


def slugs(path):
    """GitHub's anchors of the headings of a Markdown file."""
    seen, found = {}, set()
    for line in prose(path):
        m = re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not m:
            continue
        text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", m.group(1))
        slug = re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        found.add(slug if n == 0 else f"{slug}-{n}")
    return found


def man_sections(path):
    titles = set()
    for line in open(path, encoding="utf-8"):
        m = re.match(r'\.S[HS]\s+"?([^"\n]*)"?', line)
        if m:
            titles.add(m.group(1).strip().upper())
    return titles


def markdown_files(root):
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d not in SKIP and not d.startswith("build")]
        for name in files:
            if name.endswith(".md"):
                yield os.path.join(folder, name)


def check(root):
    broken = []
    for md in sorted(markdown_files(root)):
        where = os.path.relpath(md, root)
        text = "".join(prose(md))
        for _, target in LINK.findall(text):
            if re.match(r"[a-z]+:", target):
                continue  # http:, https:, mailto:
            path, _, anchor = target.partition("#")
            dest = os.path.normpath(os.path.join(os.path.dirname(md), path)) if path else md
            if not os.path.exists(dest):
                broken.append(f"{where}: {target}: no such file")
            elif anchor and dest.endswith(".md") and anchor not in slugs(dest):
                broken.append(f"{where}: {target}: no such heading")
        for page, title in SECTION.findall(" ".join(text.split())):
            man = os.path.join(root, "man", page + ".1")
            if not os.path.exists(man) or title not in man_sections(man):
                broken.append(f"{where}: {page}(1) has no section {title}")
    return broken


if __name__ == "__main__":
    problems = check(sys.argv[1])
    for p in problems:
        print(p)
    sys.exit(1 if problems else 0)
