#!/usr/bin/env python3
"""Every relative link and image of README.md and docs/*.md leads to a file of the tree, and every #anchor to a
heading of the page it names (as GitHub makes anchors from headings).

    docs_links.py SOURCE_DIR
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1]).resolve()
link = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")


def anchors(page):
    found, seen, inside = set(), {}, False
    for line in page.read_text().splitlines():
        if line.startswith("```"):
            inside = not inside
        elif not inside and line.startswith("#"):
            slug = re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower()).replace(" ", "-")
            found.add(slug if slug not in seen else f"{slug}-{seen[slug]}")
            seen[slug] = seen.get(slug, 0) + 1
    return found


broken = []
for page in [root / "README.md", *sorted((root / "docs").glob("*.md"))]:
    text = re.sub(r"```.*?```", "", page.read_text(), flags=re.S)  # code blocks hold no links
    for target in link.findall(text):
        if re.match(r"[a-z]+:", target):
            continue  # a web address, not a file of the tree
        path, _, anchor = target.partition("#")
        file = (page.parent / path).resolve() if path else page
        if not file.exists():
            broken.append(f"{page.relative_to(root)}: {target}: no such file")
        elif anchor and (file.suffix != ".md" or anchor not in anchors(file)):
            broken.append(f"{page.relative_to(root)}: {target}: no such heading")
print("\n".join(broken) or "every link leads somewhere")
sys.exit(1 if broken else 0)
