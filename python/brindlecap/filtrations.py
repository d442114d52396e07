"""python3 -m brindlecap.filtrations (or the `filtrations` script pip installs): the filtrations
command line, with operators written in Python.

    python3 -m brindlecap.filtrations evaluate --operator my_ops:sloppy_gt [--operator gt=my_ops:gt] ...

Each --operator names a callable as MODULE:ATTRIBUTE (MODULE may be a dotted module name or a .py
file); it is registered under the attribute's name, or under NAME given as NAME=MODULE:ATTRIBUTE
(a built-in's name replaces that built-in). Without --operators, evaluate judges just these.
--reference NAME=MODULE:ATTRIBUTE names the oracle operator NAME is judged against (the correctness
check's cases are its selections); the tool's --property NAME=PROP[,PROP...] declares what holds of
it instead (the strict checks' relations).
Every other option is the filtrations tool's own (--help lists them); output and exit status are
the tool's too.
"""
import importlib
import importlib.util
import itertools
import os
import shlex
import sys

import brindlecap
from brindlecap._native import cli

_BAD_INPUT = 2
_OPERATOR_HELP = ("A Python operator to judge (or resolve with): MODULE:ATTRIBUTE (a dotted module or a .py file) "
                  "registers it under the attribute's name, NAME=MODULE:ATTRIBUTE under NAME (a built-in's name "
                  "replaces that built-in); repeatable. Without --operators, evaluate judges just these")


def _split(spec, option="--operator"):
    """NAME=MODULE:ATTRIBUTE or MODULE:ATTRIBUTE -> (NAME or "", MODULE, ATTRIBUTE)."""
    name, _, target = spec.rpartition("=") if "=" in spec else ("", "", spec)
    module_name, sep, attribute = target.rpartition(":")
    if not sep or not module_name or not attribute or (option == "--reference" and not name):
        expected = "NAME=MODULE:ATTRIBUTE" if option == "--reference" else "MODULE:ATTRIBUTE or NAME=MODULE:ATTRIBUTE"
        raise ValueError(f"{option} expects {expected}, got {spec!r}")
    return name, module_name, attribute


def _load_file(path):
    """A .py file as a module, registered in sys.modules under a name of its own while and after it
    runs (dataclasses and pickling look their module up there); a file that fails leaves nothing."""
    stem = os.path.splitext(os.path.basename(path))[0].replace(".", "_")
    unique = f"_brindlecap_operators_{stem}"
    for n in itertools.count(2):
        if unique not in sys.modules:
            break
        unique = f"_brindlecap_operators_{stem}_{n}"
    module_spec = importlib.util.spec_from_file_location(unique, path)
    if module_spec is None:
        raise ImportError(f"cannot load {path!r}")
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[unique] = module
    try:
        module_spec.loader.exec_module(module)
    except BaseException:
        sys.modules.pop(unique, None)
        raise
    return module


def _load(spec, option="--operator"):
    name, module_name, attribute = _split(spec, option)
    if module_name.endswith(".py"):
        module = _load_file(module_name)
    else:
        module = importlib.import_module(module_name)
    return name or attribute, getattr(module, attribute)


def main(argv=None):
    args = list(sys.argv[1:] if argv is None else argv)
    specs, reference_specs, rest = [], [], []
    i = 0
    while i < len(args):
        arg = args[i]
        taken = {"--operator": specs, "--reference": reference_specs}
        if arg in taken and i + 1 < len(args):
            taken[arg].append(args[i + 1])
            i += 2
            continue
        option, _, value = arg.partition("=")
        if option in taken and value:
            taken[option].append(value)
        else:
            rest.append(arg)
        i += 1
    operators, references = {}, {}
    for option, given, into in (("--operator", specs, operators), ("--reference", reference_specs, references)):
        for spec in given:
            try:
                name, operator = _load(spec, option)
            except Exception as e:
                what = "operator" if option == "--operator" else "reference"
                print(f"filtrations: error: cannot load {what} {spec!r}: {type(e).__name__}: {e}", file=sys.stderr)
                return _BAD_INPUT
            into[name] = operator
    names_given = any(a == "--operators" or a.startswith("--operators=") for a in rest)
    if operators and not names_given and (not rest or rest[0] == "evaluate"):
        rest = (rest or ["evaluate"]) + ["--operators", ",".join(operators)]
    prefix = _interpreter_prefix(specs + reference_specs)
    reproducers = _option_value(rest, "--reproducers")
    if reproducers and _option_value(rest, "--replay-command") is None:
        rest += ["--replay-command", _replay_command(prefix, specs, reproducers)]
    command = " ".join([prefix, "-m", "brindlecap.filtrations"] + [shlex.quote(a) for a in args])
    return cli.run(rest, operators, command, _OPERATOR_HELP, references)


def _option_value(args, option):
    """The value of the last `option VALUE` or `option=VALUE` in args, else None."""
    value = None
    for i, arg in enumerate(args):
        if arg == option and i + 1 < len(args):
            value = args[i + 1]
        elif arg.startswith(option + "="):
            value = arg[len(option) + 1:]
    return value


def _import_root(module_name):
    """The sys.path entry a dotted module is imported from, or None (built in, or not found)."""
    try:
        spec = importlib.util.find_spec(module_name.split(".")[0])
    except (ImportError, ValueError):
        return None
    if spec is None:
        return None
    if spec.submodule_search_locations:
        return os.path.dirname(list(spec.submodule_search_locations)[0])
    return os.path.dirname(spec.origin) if spec.origin and os.path.isfile(spec.origin) else None


def _interpreter_prefix(specs):
    """This interpreter by its absolute path, after PYTHONPATH=... when this package or an operator's
    module is found only through PYTHONPATH or the current directory: a command that starts with it
    works pasted into a fresh shell, from any directory."""
    from_environment = {os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p}
    default = sys.path if sys.flags.safe_path else sys.path[1:]  # sys.path[0]: the current directory
    default = {os.path.abspath(p) for p in default if p} - from_environment
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(brindlecap.__file__)))
    roots = [package_root] + [_import_root(module) for _, module, _ in map(_split, specs) if not module.endswith(".py")]
    needed = []
    for root in roots:
        if root is not None and os.path.abspath(root) not in default and os.path.abspath(root) not in needed:
            needed.append(os.path.abspath(root))
    interpreter = shlex.quote(os.path.abspath(sys.executable))
    return f"PYTHONPATH={shlex.quote(os.pathsep.join(needed))} {interpreter}" if needed else interpreter


def _replay_command(prefix, specs, reproducers):
    """The command a reproducer folder replays with: this front end, the same operators, the
    folder's files by their absolute paths."""
    words = ["-m", "brindlecap.filtrations", "resolve"]
    for spec in specs:
        name, module, attribute = _split(spec)
        if module.endswith(".py"):
            module = os.path.abspath(module)
        words += ["--operator", f"{name}{'=' if name else ''}{module}:{attribute}"]
    # {pool} and {tree} are under the reproducer directory as given; a relative one is made
    # absolute by the directory in front of it (a shell joins adjacent quoted words).
    here = "" if os.path.isabs(reproducers) else shlex.quote(os.path.join(os.getcwd(), ""))
    return " ".join([prefix] + [shlex.quote(w) for w in words]) + f" --pool {here}{{pool}} --tree {here}{{tree}}"


if __name__ == "__main__":
    sys.exit(main())
