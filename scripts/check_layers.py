#!/usr/bin/env python3
"""Fails when the packages under src/brindlecap/functions include each other in a cycle.

A package is a folder; an edge A -> B means some file of A includes a header of B. Prints the
package graph in layer order (each package after everything it includes) when there is no cycle.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent / "src"
FUNCTIONS = ROOT / "brindlecap" / "functions"
INCLUDE = re.compile(r'^\s*#\s*include\s+"brindlecap/functions/([^"]+)"', re.M)


def package_of(relative: str) -> str:
    parent = str(pathlib.PurePosixPath(relative).parent)
    return "functions" if parent == "." else parent


def graph() -> dict:
    edges: dict = {}
    for path in FUNCTIONS.rglob("*.[ch]pp"):
        source = package_of(path.relative_to(FUNCTIONS).as_posix())
        edges.setdefault(source, set())
        for target in INCLUDE.findall(path.read_text()):
            dest = package_of(target)
            if dest != source:
                edges[source].add(dest)
                edges.setdefault(dest, set())
    return edges


def layers(edges: dict):
    """Packages in dependency order, or the packages left on cycles."""
    remaining = {p: set(deps) for p, deps in edges.items()}
    order = []
    while remaining:
        ready = sorted(p for p, deps in remaining.items() if not deps)
        if not ready:
            return None, remaining
        order.append(ready)
        for p in ready:
            del remaining[p]
        for deps in remaining.values():
            deps.difference_update(ready)
    return order, {}


def main() -> int:
    edges = graph()
    order, cyclic = layers(edges)
    if order is None:
        print("include cycle among packages:", file=sys.stderr)
        for p in sorted(cyclic):
            print(f"  {p} -> {', '.join(sorted(cyclic[p]))}", file=sys.stderr)
        return 1
    for depth, level in enumerate(order):
        print(f"layer {depth}: {', '.join(level)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
