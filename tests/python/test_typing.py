"""The stubs against the bindings, and a type checker reading them as a user's editor does."""
import ast
import dataclasses
import importlib
import inspect
import os
import pathlib
import subprocess
import sys

import pytest

from conftest import REPO

PACKAGE = REPO / "python"
# Every public module with a stub beside it (a new module: its .pyi and a line here).
STUBBED = [
    "brindlecap",
    "brindlecap.columns",
    "brindlecap.frames",
    "brindlecap.report",
    "brindlecap.functions.filtrations_evaluation",
    "brindlecap.functions.evaluation_utils",
    "brindlecap.functions.registry_and_store.store_builder",
    "brindlecap.functions.evaluation_pipeline.check_registry",
    "brindlecap.functions.filtrations.comparison",
    "brindlecap.functions.filtrations.rank",
    "brindlecap.functions.filtrations.boolean",
    "brindlecap.functions.filtrations.wrapper",
    "brindlecap.functions.filtrations.builtin_runtime_targets",
]
# The entry points whose docstrings describe each parameter.
DOCUMENTED = ["resolve_filtrations", "evaluate", "parse_tree", "preprocess_field", "generate_synthetic_signals"]


def stub_path(module):
    relative = pathlib.Path(*module.split("."))
    package = PACKAGE / relative / "__init__.pyi"
    return package if package.exists() else PACKAGE / relative.with_suffix(".pyi")


def shape(args: ast.arguments):
    """(name, kind, has a default) of each parameter, as inspect names the kinds."""
    out = []
    positional = args.posonlyargs + args.args
    defaults = [False] * (len(positional) - len(args.defaults)) + [True] * len(args.defaults)
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        kind = "POSITIONAL_ONLY" if i < len(args.posonlyargs) or arg.arg.startswith("__") else "POSITIONAL_OR_KEYWORD"
        out.append((arg.arg.lstrip("_") if arg.arg.startswith("__") else arg.arg, kind, default))
    if args.vararg:
        out.append((args.vararg.arg, "VAR_POSITIONAL", False))
    out += [(a.arg, "KEYWORD_ONLY", d is not None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        out.append((args.kwarg.arg, "VAR_KEYWORD", False))
    return out


def runtime_shape(obj):
    return [(p.name, p.kind.name, p.default is not p.empty) for p in inspect.signature(obj).parameters.values()]


def public(names):
    return {n for n in names if not n.startswith("_") or n == "__version__"}


def stub_members(body):
    """name -> node of what a stub's body defines (re-exports `import x as x` included)."""
    members = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            members[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            members[node.target.id] = node
        elif isinstance(node, ast.ImportFrom):
            members.update({a.asname: node for a in node.names if a.asname == a.name})
    return members


@pytest.mark.parametrize("module_name", STUBBED)
def test_each_stub_names_what_the_module_holds_with_its_signatures(module_name):
    module = importlib.import_module(module_name)
    members = stub_members(ast.parse(stub_path(module_name).read_text()).body)
    names = getattr(module, "__all__", [n for n, v in vars(module).items() if not inspect.ismodule(v)])
    assert public(members) == public(names) | ({"__version__"} & set(vars(module)))
    for name, node in members.items():
        if name not in public(members):
            continue
        obj = getattr(module, name)
        if isinstance(node, ast.FunctionDef):
            assert shape(node.args) == runtime_shape(obj), name
        elif isinstance(node, ast.ClassDef):
            assert obj.__module__ == module_name or not obj.__module__.startswith("brindlecap._native"), name
            if dataclasses.is_dataclass(obj):
                fields = [n.target.id for n in node.body if isinstance(n, ast.AnnAssign)]
                assert fields == list(vars(obj).get("__annotations__", {})), name  # its own, after its bases
                continue
            for method in (n for n in node.body if isinstance(n, ast.FunctionDef)):
                if any(getattr(d, "id", "") == "property" for d in method.decorator_list):
                    assert isinstance(inspect.getattr_static(obj, method.name), property), f"{name}.{method.name}"
                    continue
                assert shape(method.args) == runtime_shape(getattr(obj, method.name)), f"{name}.{method.name}"


def test_entry_points_document_every_parameter():
    import brindlecap.functions.filtrations_evaluation as fe
    for name in DOCUMENTED:
        function = getattr(fe, name)
        assert function.__module__ == fe.__name__
        for parameter in inspect.signature(function).parameters:
            assert f"{parameter} :" in function.__doc__, (name, parameter)


GOOD = '''
from typing import Any, Callable

import numpy as np
import brindlecap
import brindlecap.functions.filtrations_evaluation as fe
from brindlecap import frames
from brindlecap.columns import pool_from_columns
from brindlecap.functions.evaluation_utils import BaseEvaluationConfig, CheckOutcome, EvaluationCheckPlugin
from brindlecap.functions.registry_and_store.store_builder import FunctionStore, build_default_store
from brindlecap.report import RunRecorder, write_reproducers


def sloppy_gt(prepared: fe.PreparedField, params: dict[str, object]) -> set[str]:
    threshold = params["value"]
    assert isinstance(threshold, float)
    return {sid for sid, value in prepared.values if value >= threshold}


class KeepsSomething(EvaluationCheckPlugin):
    name = "keeps_something"

    def validate(self, op_impl: Callable[..., Any], pool: dict[str, fe.UsefulSignal],
                 config: BaseEvaluationConfig) -> CheckOutcome:
        prepared = fe.preprocess_field(pool, {"field": "is_sharpe"}, "gt")
        return CheckOutcome(status="pass", details=f"{len(prepared.values)} values")


columns = pool_from_columns(["a", "b"], {"is_sharpe": np.array([1.4, 0.2])})
store: FunctionStore = build_default_store()
result: fe.FiltrationResult = fe.resolve_filtrations(columns, fe.parse_tree("gt(is_sharpe, 0.5)"), store)
count: int = result.signal_count + len(result.passing_ids) + frames.diagnostics(result)["passing"].sum()
pool = {"a": fe.UsefulSignal(weights=np.zeros((2, 2)), pnl=None, metadata={"is_sharpe": 1.0})}
tree = fe.FilterNode("and_", children=[fe.FilterNode("gt", {"field": "is_sharpe", "value": 0.5})])
store.register("gt", factory=sloppy_gt)
fe.register_check_plugin(KeepsSomething())
demo = fe.generate_synthetic_signals(fe.FiltrationEvaluationConfig(N_signals=24, seed=2026))
config = fe.FiltrationEvaluationConfig(mode="mock", skip_checks={8}, mock_signals={k: s.metadata for k, s in demo.items()})
with RunRecorder() as recorder:
    verdicts = fe.evaluate(config, [fe.EvalFiltrationConfig("gt")], store)
folders = write_reproducers(recorder.observations(), "repro")
accepted: bool = verdicts.operator_results["gt"].accepted
status: str = verdicts.operator_results["gt"].checks["correctness"].status
table = frames.verdicts(verdicts)
version: str = brindlecap.__version__
'''

BAD = '''
import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.functions.registry_and_store.store_builder import build_default_store

fe.resolve_filtrations({}, "gt(is_sharpe, 0.5)", build_default_store())
fe.parse_tree(3)
fe.FiltrationEvaluationConfig(seed="7")
fe.evaluate(fe.FiltrationEvaluationConfig(), ["gt"])
count: str = fe.parse_tree("gt(x, 1)").children
'''


def mypy(tmp_path, text):
    script = tmp_path / "script.py"
    script.write_text(text)
    env = dict(os.environ, MYPYPATH=str(PACKAGE))
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                           str(script)], capture_output=True, text=True, env=env, cwd=tmp_path)
    return done.returncode, done.stdout


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed (scripts/setup.sh installs it)")
def test_mypy_strict_passes_a_typed_script_and_flags_wrong_argument_types(tmp_path):
    status, out = mypy(tmp_path, GOOD)
    assert status == 0, out
    status, out = mypy(tmp_path, BAD)
    flagged = sorted(int(line.split(":")[1]) for line in out.splitlines() if ": error:" in line)
    assert flagged == [5, 6, 7, 8, 9], out


def test_the_readmes_python_examples_print_what_it_shows_on_public_names_only():
    import re
    readme = (REPO / "README.md").read_text()
    examples = re.findall(r"```python\n(.*?)```\n\n```\n(.*?)```", readme, re.S)
    assert len(examples) == 2
    for code, shown in examples:
        assert not re.search(r"\b(?:fe|brindlecap)\._|_native", code), code
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=REPO,
                              env=dict(os.environ, PYTHONPATH=str(PACKAGE)))
        assert [line.rstrip() for line in done.stdout.splitlines()] == shown.splitlines(), done.stderr
