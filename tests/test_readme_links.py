"""Every relative link of the README resolves: to a file of the repository and,
where it names an anchor, to a heading of that Markdown file (GitHub's and
MkDocs' ids: lower case, punctuation dropped, spaces as hyphens). The manual
under docs/ is checked by `mkdocs build --strict` (scripts/docs.sh)."""

from __future__ import annotations

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LINK = re.compile(r"\[[^\]]+\]\(([^)\s]+)\)")


def heading_ids(markdown: str) -> set[str]:
    ids, fenced = set(), False
    for line in markdown.splitlines():
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and (m := re.match(r"#{1,6} (.*)", line)):
            text = re.sub(r"`", "", m[1]).strip().lower()
            ids.add(re.sub(r"\s", "-", re.sub(r"[^\w\s-]", "", text)))
    return ids


def test_every_readme_link_resolves():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    links = [t for t in LINK.findall(readme) if not re.match(r"[a-z]+:", t)]
    assert links, "the README links its pages"
    broken = []
    for target in links:
        path, _, anchor = target.partition("#")
        file = ROOT / path if path else ROOT / "README.md"
        if not file.is_file():
            broken.append(target)
        elif anchor and anchor not in heading_ids(file.read_text(encoding="utf-8")):
            broken.append(target)
    assert not broken, broken
