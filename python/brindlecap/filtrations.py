"""python3 -m brindlecap.filtrations: the filtrations command line, with operators written in Python.

    python3 -m brindlecap.filtrations evaluate --operator my_ops:sloppy_gt [--operator gt=my_ops:gt] ...

Each --operator names a callable as MODULE:ATTRIBUTE (MODULE may be a dotted module name or a .py
file); it is registered under the attribute's name, or under NAME given as NAME=MODULE:ATTRIBUTE
(a built-in's name replaces that built-in). Without --operators, evaluate judges just these.
Every other option is the filtrations tool's own (--help lists them); output and exit status are
the tool's too.
"""
import importlib
import importlib.util
import os
import shlex
import sys

from brindlecap._native import cli

_BAD_INPUT = 2


def _load(spec):
    name, _, target = spec.rpartition("=") if "=" in spec else ("", "", spec)
    module_name, sep, attribute = target.rpartition(":")
    if not sep or not module_name or not attribute:
        raise ValueError(f"--operator expects MODULE:ATTRIBUTE or NAME=MODULE:ATTRIBUTE, got {spec!r}")
    if module_name.endswith(".py"):
        module_spec = importlib.util.spec_from_file_location(os.path.basename(module_name)[:-3], module_name)
        if module_spec is None:
            raise ImportError(f"cannot load {module_name!r}")
        module = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(module)
    else:
        module = importlib.import_module(module_name)
    return name or attribute, getattr(module, attribute)


def main(argv=None):
    args = list(sys.argv[1:] if argv is None else argv)
    specs, rest = [], []
    i = 0
    while i < len(args):
        arg = args[i]
        if arg == "--operator" and i + 1 < len(args):
            specs.append(args[i + 1])
            i += 2
            continue
        if arg.startswith("--operator="):
            specs.append(arg.split("=", 1)[1])
        else:
            rest.append(arg)
        i += 1
    operators = {}
    for spec in specs:
        try:
            name, operator = _load(spec)
        except Exception as e:
            print(f"filtrations: error: cannot load operator {spec!r}: {type(e).__name__}: {e}", file=sys.stderr)
            return _BAD_INPUT
        operators[name] = operator
    names_given = any(a == "--operators" or a.startswith("--operators=") for a in rest)
    if operators and not names_given and (not rest or rest[0] == "evaluate"):
        rest = (rest or ["evaluate"]) + ["--operators", ",".join(operators)]
    if specs and any(a == "--reproducers" or a.startswith("--reproducers=") for a in rest):
        rest += ["--replay-command", _replay_command(specs)]
    return cli.run(rest, operators)


def _replay_command(specs):
    """The command a reproducer folder replays with: this front end, the same operators."""
    words = [sys.executable, "-m", "brindlecap.filtrations", "resolve"]
    for spec in specs:
        name, eq, target = spec.rpartition("=") if "=" in spec else ("", "", spec)
        module, _, attribute = target.rpartition(":")
        if module.endswith(".py"):
            module = os.path.abspath(module)
        words += ["--operator", f"{name}{eq}{module}:{attribute}"]
    return " ".join(shlex.quote(w) for w in words) + " --pool {pool} --tree {tree}"


if __name__ == "__main__":
    sys.exit(main())
