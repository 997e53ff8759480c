"""Checks that every relative link of every Markdown file under an unpacked package root resolves to
a file or folder inside that root, as a reader of the installed documents follows it.

Usage: check_links.py ROOT
Prints one line per broken link and exits 1 if there is any."""

import logging
import re
import sys
from pathlib import Path

# Inline links and images, [text](target "title") and ![alt](target), and reference definitions,
# [name]: target. Code spans and blocks are left out first: their brackets are not links.
INLINE_LINK = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$", re.MULTILINE)
FENCED_BLOCK = re.compile(r"^(```|~~~).*?^\1", re.MULTILINE | re.DOTALL)
INDENTED_BLOCK = re.compile(r"(?:^(?: {4}|\t).*\n?)+", re.MULTILINE)
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1", re.DOTALL)
EXTERNAL = re.compile(r"^(?:[a-zA-Z][a-zA-Z0-9+.-]*:|//|#)")


def links_of(text: str) -> list[str]:
    """The link targets of a Markdown text, outside code."""
    for pattern in (FENCED_BLOCK, CODE_SPAN):
        text = pattern.sub("", text)
    text = INDENTED_BLOCK.sub("", text)
    return INLINE_LINK.findall(text) + REFERENCE_DEFINITION.findall(text)


def broken_links(root: Path) -> list[str]:
    """'file: target' for each relative link under root that does not lead to something inside it."""
    root = root.resolve()
    broken = []
    for document in sorted(root.rglob("*.md")):
        for target in links_of(document.read_text(encoding="utf-8")):
            if EXTERNAL.match(target):
                continue
            path = target.split("#", 1)[0]
            resolved = (document.parent / path).resolve()
            if not resolved.exists() or not resolved.is_relative_to(root):
                broken.append(f"{document.relative_to(root)}: {target}")
    return broken


def main() -> int:
    logging.basicConfig(format="%(message)s", level=logging.INFO)
    root = Path(sys.argv[1])
    documents = len(list(root.rglob("*.md")))
    if documents == 0:
        logging.error("no Markdown file under %s", root)
        return 1
    broken = broken_links(root)
    for link in broken:
        logging.error("broken link in %s", link)
    logging.info("%d Markdown files, %d broken links", documents, len(broken))
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
