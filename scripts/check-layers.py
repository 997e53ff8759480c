#!/usr/bin/env python3
"""Checks every #include "..." of the C++ tree against the layers of the source folders.

Each include is resolved to the folder that holds the header (beside the including file, by its
path below an exported folder, or by its bare name, which must then be unique in the tree) and
must go to the including file's own folder or to one its row of LAYERS allows. The table itself
must be free of cycles, and so must the folders' includes as found. Prints one line per
violation and exits 1, else prints a summary and exits 0.

Usage: check-layers.py [repository root, by default the folder above this script]
"""

from __future__ import annotations

import logging
import re
import sys
from dataclasses import dataclass
from pathlib import Path

# Who may include whom. A key is a folder below the repository root; a key ending in "/**" also
# covers every folder below it. A file's own folder is always allowed. ANY: the folder may
# include every folder (test suites, benchmarks and fuzz targets look at everything); no folder
# may include one of those.
ANY = "*"

PLATFORM_CORE = "platform/core"
PLATFORM_WIDGETS = "platform/widgets"
PLATFORM_SERIAL = "platform/serial"
PLATFORM_NETWORK = "platform/network"
PLATFORM_DDE = "platform/dde"
PLATFORM_DDE_WIDGETS = "platform/ddewidgets"
PLATFORM_ALL = [PLATFORM_CORE, PLATFORM_WIDGETS, PLATFORM_SERIAL, PLATFORM_NETWORK, PLATFORM_DDE,
                PLATFORM_DDE_WIDGETS]

KESTRIN_MODEL = "kestrin/model"
KESTRIN_CHANNELS = "kestrin/channels"
KESTRIN_DIALOGS = "kestrin/dialogs"
KESTRIN_WINDOW = "kestrin/window"
KESTRIN_PANEL = "kestrin/panel"
PLATFORM_WITHOUT_WIDGETS = [PLATFORM_CORE, PLATFORM_SERIAL, PLATFORM_NETWORK, PLATFORM_DDE]

LAYERS: dict[str, list[str]] = {
    # The platform libraries, lowest first.
    PLATFORM_CORE: [],
    PLATFORM_WIDGETS: [PLATFORM_CORE],
    PLATFORM_SERIAL: [PLATFORM_CORE],
    PLATFORM_NETWORK: [PLATFORM_CORE],
    PLATFORM_DDE: [PLATFORM_CORE],
    PLATFORM_DDE_WIDGETS: [PLATFORM_DDE, PLATFORM_WIDGETS, PLATFORM_CORE],
    # The instrument: the widget-free model, the channels, the dialogs, the window.
    KESTRIN_MODEL: [PLATFORM_CORE],
    KESTRIN_CHANNELS: [KESTRIN_MODEL, PLATFORM_CORE, PLATFORM_SERIAL, PLATFORM_NETWORK, PLATFORM_DDE],
    KESTRIN_DIALOGS: [KESTRIN_CHANNELS, KESTRIN_MODEL] + PLATFORM_ALL,
    KESTRIN_WINDOW: [KESTRIN_DIALOGS, KESTRIN_CHANNELS, KESTRIN_MODEL] + PLATFORM_ALL,
    "kestrin": [KESTRIN_WINDOW, KESTRIN_DIALOGS, KESTRIN_CHANNELS, KESTRIN_MODEL] + PLATFORM_ALL,
    # The panel without a window, and the program around it: no widgets at all.
    KESTRIN_PANEL: [KESTRIN_CHANNELS, KESTRIN_MODEL] + PLATFORM_WITHOUT_WIDGETS,
    "kestrin/headless": [KESTRIN_PANEL, KESTRIN_CHANNELS, KESTRIN_MODEL] + PLATFORM_WITHOUT_WIDGETS,
    # The other programs and the example source.
    "plot": [PLATFORM_CORE, PLATFORM_WIDGETS, PLATFORM_DDE],
    "brallow": [PLATFORM_CORE, PLATFORM_WIDGETS],
    "tovrask": [PLATFORM_CORE, PLATFORM_WIDGETS, PLATFORM_DDE, PLATFORM_DDE_WIDGETS],
    "ostrel": [PLATFORM_CORE, PLATFORM_WIDGETS, PLATFORM_DDE, PLATFORM_DDE_WIDGETS],
    "examples/**": [PLATFORM_CORE, PLATFORM_WIDGETS, PLATFORM_DDE, PLATFORM_DDE_WIDGETS],
    # What checks and measures the rest.
    "tests/**": [ANY],
    "bench/**": [ANY],
    "fuzz/**": [ANY],
}

SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".cxx"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
# Files the build makes (moc's output) are not in the tree.
GENERATED = re.compile(r"\.moc$|^moc_|^ui_")

log = logging.getLogger("check-layers")


@dataclass(frozen=True)
class Include:
    source: Path  # relative to the root
    line: int
    name: str


def source_files(root: Path) -> list[Path]:
    """Every C++ file below root, relative to it, outside build folders and hidden folders."""
    files = []
    for path in root.rglob("*"):
        relative = path.relative_to(root)
        if any(part.startswith((".", "build")) for part in relative.parts[:-1]):
            continue
        if path.suffix in SOURCE_SUFFIXES and path.is_file():
            files.append(relative)
    return sorted(files)


def folder_of(relative: Path, table: dict[str, list[str]]) -> str | None:
    """The table's key for the folder of a file: its exact folder, else the nearest "/**" key."""
    folder = relative.parent.as_posix()
    if folder in table:
        return folder
    parts = relative.parent.parts
    for length in range(len(parts), 0, -1):
        key = "/".join(parts[:length]) + "/**"
        if key in table:
            return key
    return None


def includes_of(root: Path, relative: Path) -> list[Include]:
    found = []
    text = (root / relative).read_text(encoding="utf-8", errors="replace")
    for number, line in enumerate(text.splitlines(), start=1):
        match = INCLUDE.match(line)
        if match:
            found.append(Include(relative, number, match.group(1)))
    return found


def table_cycle(table: dict[str, list[str]]) -> list[str] | None:
    """A cycle of the table's may-include lists, or None."""
    return find_cycle({key: [other for other in allowed if other != ANY] for key, allowed in table.items()})


def find_cycle(graph: dict[str, list[str]]) -> list[str] | None:
    done: set[str] = set()
    for start in sorted(graph):
        if start in done:
            continue
        path: list[str] = []
        on_path: set[str] = set()
        stack = [(start, iter(sorted(graph.get(start, []))))]
        path.append(start)
        on_path.add(start)
        while stack:
            node, children = stack[-1]
            child = next(children, None)
            if child is None:
                stack.pop()
                path.pop()
                on_path.discard(node)
                done.add(node)
            elif child in on_path:
                return path[path.index(child):] + [child]
            elif child not in done:
                stack.append((child, iter(sorted(graph.get(child, [])))))
                path.append(child)
                on_path.add(child)
    return None


def check(root: Path, table: dict[str, list[str]]) -> tuple[list[str], int, int]:
    """The violations of the tree below root, the number of files and of includes checked."""
    problems = []
    cycle = table_cycle(table)
    if cycle:
        problems.append(f"{Path(__file__).name}: the table of layers has a cycle: {' -> '.join(cycle)}")

    files = source_files(root)
    by_name: dict[str, list[Path]] = {}
    for relative in files:
        by_name.setdefault(relative.name, []).append(relative)
    known = set(files)

    def resolve(include: Include) -> Path | None | str:
        beside = include.source.parent / include.name
        if beside in known:
            return beside
        if "/" in include.name:
            matches = [f for f in files if ("/" + f.as_posix()).endswith("/" + include.name)]
        else:
            matches = by_name.get(include.name, [])
        if len(matches) == 1:
            return matches[0]
        if not matches:
            return None
        return "ambiguous: " + ", ".join(m.as_posix() for m in matches)

    unknown_reported: set[str] = set()
    includes_checked = 0
    graph: dict[str, set[str]] = {}
    for relative in files:
        own = folder_of(relative, table)
        if own is None:
            folder = relative.parent.as_posix() or "."
            if folder not in unknown_reported:
                unknown_reported.add(folder)
                problems.append(f"{relative}: folder '{folder}' is not in the table of layers of "
                                f"{Path(__file__).name}; add it with the folders it may include")
            continue
        for include in includes_of(root, relative):
            if GENERATED.search(Path(include.name).name):
                continue
            target = resolve(include)
            where = f"{include.source}:{include.line}"
            if target is None:
                problems.append(f'{where}: "{include.name}" is no header of the tree')
                continue
            if isinstance(target, str):
                problems.append(f'{where}: "{include.name}" names more than one header ({target})')
                continue
            includes_checked += 1
            other = folder_of(target, table)
            if other is None:
                problems.append(f'{where}: "{include.name}" is in folder \'{target.parent.as_posix()}\', '
                                f"which is not in the table of layers")
                continue
            if other == own:
                continue
            graph.setdefault(own, set()).add(other)
            allowed = table[own]
            if ANY not in allowed and other not in allowed:
                problems.append(f"{where}: '{own}' may not include \"{include.name}\" of '{other}' "
                                f"(it may include: {', '.join(allowed) or 'nothing outside itself'})")

    cycle = find_cycle({key: sorted(value) for key, value in graph.items()})
    if cycle:
        problems.append(f"the folders include each other in a cycle: {' -> '.join(cycle)}")
    return problems, len(files), includes_checked


def main(arguments: list[str]) -> int:
    logging.basicConfig(level=logging.INFO, format="%(message)s", stream=sys.stdout)
    root = Path(arguments[0]).resolve() if arguments else Path(__file__).resolve().parent.parent
    problems, files, includes = check(root, LAYERS)
    for problem in problems:
        log.error("%s", problem)
    if problems:
        log.error("%d violation(s) of the layers", len(problems))
        return 1
    log.info("Layers kept: %d includes of %d files in %d folders, none against the table, no cycle",
             includes, files, len(LAYERS))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
