#!/usr/bin/env python3
"""check_links.py SOURCE_DIR: every relative link in the tree's Markdown files
leads to a file that exists and, with #anchor, to one of its headings (GitHub's
slugs); every "NAME(1), section TITLE" is a .SH or .SS of man/NAME.1."""
import os, re, sys

LINK = re.compile(r"\[(?:[^\[\]]|\[[^\]]*\])*\]\(([^)\s]+)\)")
SECTION = re.compile(r"\b(swug-[a-z]+)\(1\),? section ([A-Z][A-Z ]*[A-Z])")


def prose(path):
    """The file's text outside fenced code blocks."""
    parts = re.split(r"^\s*```.*$", open(path, encoding="utf-8").read(), flags=re.M)
    return "\n".join(parts[0::2])


def slugs(path):
    found, seen = set(), {}
    for title in re.findall(r"^#{1,6}\s+(.*?)\s*#*$", prose(path), flags=re.M):
        title = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", title)
        slug = re.sub(r"[^\w\- ]", "", title.lower()).replace(" ", "-")
        found.add(slug + (f"-{seen[slug]}" if slug in seen else ""))
        seen[slug] = seen.get(slug, 0) + 1
    return found


def check(root):
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d not in (".git", "out", "dist") and not d.startswith("build")]
        for md in (os.path.join(folder, f) for f in sorted(files) if f.endswith(".md")):
            text = prose(md)
            for target in LINK.findall(text):
                path, _, anchor = target.partition("#")
                dest = os.path.normpath(os.path.join(folder, path)) if path else md
                if re.match(r"[a-z]+:", target):
                    continue  # http:, https:, mailto:
                if not os.path.exists(dest):
                    yield f"{md}: {target}: no such file"
                elif anchor and dest.endswith(".md") and anchor not in slugs(dest):
                    yield f"{md}: {target}: no such heading"
            for page, title in SECTION.findall(" ".join(text.split())):
                man = os.path.join(root, "man", page + ".1")
                heads = re.findall(r'^\.S[HS] +"?([^"\n]*)', open(man).read(), re.M) if os.path.exists(man) else []
                if title not in (h.strip() for h in heads):
                    yield f"{md}: {page}(1) has no section {title}"


if __name__ == "__main__":
    broken = list(check(sys.argv[1]))
    print("\n".join(broken))
    sys.exit(1 if broken else 0)
