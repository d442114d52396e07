#!/usr/bin/env python3
"""Checks the shape of the library's include graph and public surface; fails on the first broken rule.

- No include cycle among the packages under src/brindlecap/functions. A package is a folder; an
  edge A -> B means some file of A includes a header of B. Prints the package graph in layer order
  (each package after everything it includes).
- The public header includes no header twice.
- No installed header (any *.hpp but *_internal.hpp) has a using-declaration or using-directive at
  namespace scope: it would make other namespaces' names part of the header's own.
- tools/ includes no internal header outside TOOLS_INTERNALS.
"""
import pathlib
import re
import sys

REPO = pathlib.Path(__file__).resolve().parent.parent
ROOT = REPO / "src"
FUNCTIONS = ROOT / "brindlecap" / "functions"
UMBRELLA = FUNCTIONS / "filtrations_evaluation.hpp"
INCLUDE = re.compile(r'^\s*#\s*include\s+"brindlecap/functions/([^"]+)"', re.M)
ANY_INCLUDE = re.compile(r'^\s*#\s*include\s+[<"](brindlecap/[^">]+)[">]', re.M)
# `using x::y;` or `using namespace x;` (an alias, `using T = ...;`, is a declaration of the header's own).
USING = re.compile(r"^\s*using\s+(namespace\s+)?[\w:]+\s*;", re.M)

# The internal headers the command-line tool may include, and what for.
TOOLS_INTERNALS = {
    "tools/filtrations/output.cpp": {
        # evidence holding id sets, written as JSON lists
        "brindlecap/functions/filtrations_evaluation/core/id_set_object_internal.hpp",
        # plug-in check numbers, for --info
        "brindlecap/functions/filtrations_evaluation/acceptance/plugins_internal.hpp",
    },
    # Python's number syntax and code point columns in inline tree expressions; the built-ins'
    # parameter order for their positional form
    "tools/filtrations/tree_expr.cpp": {
        "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp",
        "brindlecap/runtime/number_text_internal.hpp",
        "brindlecap/runtime/unicode_internal.hpp",
    },
    # display widths in the terminal tables
    "tools/filtrations/terminal_text.cpp": {"brindlecap/runtime/unicode_internal.hpp"},
}


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


def namespace_scope_usings(text: str):
    """Lines of using-declarations and -directives outside any class, struct or function body."""
    found = []
    depth = []  # one entry per open brace: True for a namespace's
    for number, line in enumerate(text.splitlines(), 1):
        code = line.split("//", 1)[0]
        if USING.match(code) and all(depth):
            found.append(f"{number}: {line.strip()}")
        for brace in re.finditer(r"[{}]", code):
            if brace.group() == "{":
                depth.append(bool(re.search(r"\bnamespace\b[\w:\s]*$", code[: brace.start()])))
            elif depth:
                depth.pop()
    return found


def surface_problems() -> list:
    problems = []
    included = ANY_INCLUDE.findall(UMBRELLA.read_text())
    for header in sorted({h for h in included if included.count(h) > 1}):
        problems.append(f"{UMBRELLA.relative_to(REPO)} includes {header} more than once")
    for path in sorted(ROOT.rglob("*.hpp")):
        if not path.name.endswith("_internal.hpp"):
            for where in namespace_scope_usings(path.read_text()):
                problems.append(f"{path.relative_to(REPO)}:{where}: using at namespace scope in an installed header")
    for path in sorted((REPO / "tools").rglob("*.[ch]pp")):
        relative = path.relative_to(REPO).as_posix()
        for header in ANY_INCLUDE.findall(path.read_text()):
            if header.endswith("_internal.hpp") and header not in TOOLS_INTERNALS.get(relative, ()):
                problems.append(f"{relative} includes {header}, an internal header outside the tools' allow-list")
    return problems


def main() -> int:
    edges = graph()
    order, cyclic = layers(edges)
    if order is None:
        print("include cycle among packages:", file=sys.stderr)
        for p in sorted(cyclic):
            print(f"  {p} -> {', '.join(sorted(cyclic[p]))}", file=sys.stderr)
        return 1
    problems = surface_problems()
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    for depth, level in enumerate(order):
        print(f"layer {depth}: {', '.join(level)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
