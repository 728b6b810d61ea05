#!/usr/bin/env python3
"""Checks the include rules of src/: each folder includes only the folders ARCHITECTURE.md allows,
and no chain of includes between files comes back to where it started.

Usage: scripts/check_includes.py [SRC_DIR]; prints each breach and exits 1 when there is one."""
import pathlib
import re
import sys

# What each folder may include besides itself; keep in step with ARCHITECTURE.md.
ALLOWED = {
    "platform": set(),
    "model": set(),
    "http": {"model", "platform"},
    "source": {"http", "model", "platform"},
    "service": {"http", "model", "platform"},
    "store": {"model", "platform"},
    "history": {"model", "platform"},
    "runtime": {"source", "service", "store", "history", "model", "platform"},
    "selfcheck": {"runtime", "source", "store", "model", "platform"},
    "view": {"store", "model", "platform"},
    "watch": {"view", "model", "platform"},
    "chart": {"history", "view", "store", "model", "platform"},
    "notify": {"watch", "view", "store", "model", "platform"},
    "icon": set(),
    "tray": {"icon", "watch", "view", "store", "model", "platform"},
    "dashboard": {"watch", "chart", "history", "view", "store", "model", "platform"},
    "app": {"tray", "icon", "dashboard", "notify", "chart", "watch", "view", "selfcheck", "runtime",
            "history", "store", "service", "source", "http", "model", "platform"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/([A-Za-z0-9_.]+)"', re.M)


def main() -> int:
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    breaches = []
    graph = {}
    for path in sorted(src.glob("*/*")):
        if path.suffix not in (".hpp", ".cpp", ".in"):
            continue
        folder = path.parent.name
        if folder not in ALLOWED:
            breaches.append(f"{path}: folder '{folder}' has no include rule")
            continue
        name = f"{folder}/{path.name.removesuffix('.in')}"
        graph[name] = []
        for target_folder, target_file in INCLUDE.findall(path.read_text()):
            if target_folder != folder and target_folder not in ALLOWED[folder]:
                breaches.append(f"{path}: '{folder}' may not include {target_folder}/{target_file}")
            graph[name].append(f"{target_folder}/{target_file}")
    # A source file and its header are one unit: a cycle through either is a cycle.
    def unit(name: str) -> str:
        return re.sub(r"\.(hpp|cpp)$", "", name)
    units = {}
    for name, targets in graph.items():
        units.setdefault(unit(name), set()).update(unit(t) for t in targets if unit(t) != unit(name))
    state = {}
    def visit(node, trail):
        state[node] = "open"
        for nxt in sorted(units.get(node, ())):
            if state.get(nxt) == "open":
                breaches.append("include cycle: " + " -> ".join(trail[trail.index(nxt):] + [nxt]))
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = "done"
    for node in sorted(units):
        if node not in state:
            visit(node, [node])
    for breach in breaches:
        print(breach)
    print(f"include rules: {len(graph)} files, {len(breaches)} breaches")
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
