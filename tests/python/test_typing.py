"""The stubs against the bindings, a type checker reading them, and the README's Python examples."""
import ast
import dataclasses
import importlib
import inspect
import os
import re
import subprocess
import sys

import pytest

from conftest import REPO

PACKAGE = REPO / "python"
STUBS = sorted(PACKAGE.rglob("*.pyi"))  # a new module's stub is checked once it is there


def module_of(stub):
    parts = stub.relative_to(PACKAGE).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def shape(args):
    """(name, kind, has a default) of each parameter, as inspect names the kinds."""
    positional = args.posonlyargs + args.args
    defaults = [False] * (len(positional) - len(args.defaults)) + [True] * len(args.defaults)
    out = [(a.arg, "POSITIONAL_OR_KEYWORD", d) for a, d in zip(positional, defaults)]
    out += [(args.vararg.arg, "VAR_POSITIONAL", False)] if args.vararg else []
    out += [(a.arg, "KEYWORD_ONLY", d is not None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return out + ([(args.kwarg.arg, "VAR_KEYWORD", False)] if args.kwarg else [])


def runtime_shape(obj):
    return [(p.name, p.kind.name, p.default is not p.empty) for p in inspect.signature(obj).parameters.values()]


def test_every_module_the_extension_fills_has_a_stub():
    filled = [p for p in PACKAGE.rglob("*.py") if "_native.export(" in p.read_text() and p.name[0] != "_"]
    assert filled and [p for p in filled if not p.with_suffix(".pyi").exists()] == []


@pytest.mark.parametrize("stub", STUBS, ids=module_of)
def test_each_stub_names_what_the_module_holds_with_its_signatures(stub):
    module = importlib.import_module(module_of(stub))
    members = {}  # what the stub defines or re-exports (`import x as x`), public names only
    for node in ast.parse(stub.read_text()).body:
        names = {a.asname: node for a in node.names if a.asname == a.name} if isinstance(node, ast.ImportFrom) else \
            {getattr(node, "name", None) or getattr(getattr(node, "target", None), "id", None): node}
        members.update({n: v for n, v in names.items() if n and (not n.startswith("_") or n == "__version__")})
    held = getattr(module, "__all__", [n for n, v in vars(module).items() if not inspect.ismodule(v) and n[0] != "_"])
    assert set(members) == set(held) | ({"__version__"} & set(vars(module)))
    for name, node in members.items():
        obj = getattr(module, name)
        if isinstance(node, ast.FunctionDef):
            assert shape(node.args) == runtime_shape(obj) and not obj.__module__.startswith("brindlecap._"), name
        elif isinstance(node, ast.ClassDef):
            assert not obj.__module__.startswith("brindlecap._"), name
            if dataclasses.is_dataclass(obj):  # its own fields, after its bases'
                assert [n.target.id for n in node.body if isinstance(n, ast.AnnAssign)] == list(obj.__annotations__)
                continue
            for method in (n for n in node.body if isinstance(n, ast.FunctionDef)):
                if any(getattr(d, "id", "") == "property" for d in method.decorator_list):
                    assert isinstance(inspect.getattr_static(obj, method.name), property), f"{name}.{method.name}"
                else:
                    assert shape(method.args) == runtime_shape(getattr(obj, method.name)), f"{name}.{method.name}"


def test_entry_points_document_every_parameter():
    import brindlecap.functions.filtrations_evaluation as fe
    for function in (fe.resolve_filtrations, fe.evaluate, fe.parse_tree, fe.preprocess_field,
                     fe.generate_synthetic_signals):
        assert all(f"{p} :" in function.__doc__ for p in inspect.signature(function).parameters), function


GOOD = '''
from typing import Any, Callable
import numpy as np
import brindlecap
import brindlecap.functions.filtrations_evaluation as fe
from brindlecap import columns, frames, report
from brindlecap.functions.evaluation_utils import BaseEvaluationConfig, CheckOutcome, EvaluationCheckPlugin

class KeepsSomething(EvaluationCheckPlugin):
    def validate(self, op: Callable[..., Any], pool: dict[str, fe.UsefulSignal], config: BaseEvaluationConfig) -> CheckOutcome:
        return CheckOutcome(status="pass", details=str(fe.preprocess_field(pool, {"field": "x"}, "gt").nan_count))

store = fe.build_default_store()
store.register("gt", factory=lambda prepared, params: {sid for sid, value in prepared.values if value >= 0})
pool = columns.pool_from_columns(["a", "b"], {"is_sharpe": np.array([1.4, 0.2])})
result = fe.resolve_filtrations(pool, fe.FilterNode("and_", children=[fe.parse_tree("gt(is_sharpe, 0.5)")]), store)
fe.register_check_plugin(KeepsSomething())
demo = fe.generate_synthetic_signals(fe.FiltrationEvaluationConfig(N_signals=24, seed=2026))
config = fe.FiltrationEvaluationConfig(mode="mock", skip_checks={8}, mock_signals={k: s.metadata for k, s in demo.items()})
with report.RunRecorder() as recorder:
    run = fe.evaluate(config, [fe.EvalFiltrationConfig("gt")], store)
folders = report.write_reproducers(recorder.observations(), "repro")
status: str = run.operator_results["gt"].checks["correctness"].status + brindlecap.__version__ + folders[0].path
count: int = result.signal_count + frames.diagnostics(result)["passing"].sum()
'''

BAD = '''
import brindlecap.functions.filtrations_evaluation as fe
fe.resolve_filtrations({}, "gt(is_sharpe, 0.5)", fe.build_default_store())
fe.parse_tree(3)
fe.FiltrationEvaluationConfig(seed="7")
fe.evaluate(fe.FiltrationEvaluationConfig(), ["gt"])
count: str = fe.parse_tree("gt(x, 1)").children
'''


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed (scripts/setup.sh installs it)")
def test_mypy_strict_passes_a_typed_script_and_flags_wrong_argument_types(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                           "good.py", "bad.py"], capture_output=True, text=True, cwd=tmp_path,
                          env=dict(os.environ, MYPYPATH=str(PACKAGE)))
    flagged = [line.split(":")[:2] for line in done.stdout.splitlines() if ": error:" in line]
    assert flagged == [["bad.py", str(n)] for n in range(3, 8)], done.stdout


def test_the_readmes_python_examples_print_what_it_shows_on_public_names_only():
    examples = re.findall(r"```python\n(.*?)```\n\n```\n(.*?)```", (REPO / "README.md").read_text(), re.S)
    assert len(examples) == 2
    for code, shown in examples:
        assert not re.search(r"\b(?:fe|brindlecap)\._|_native", code), code
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=REPO,
                              env=dict(os.environ, PYTHONPATH=str(PACKAGE)))
        assert [line.rstrip() for line in done.stdout.splitlines()] == shown.splitlines(), done.stderr
