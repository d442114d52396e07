"""The sixteen built-ins judged from Python come out as the command line (the C++ tool) judges them,
both as C++ operators and wrapped in Python callables (every calling form through Python)."""
import contextlib
import io
import json
import math

import pytest

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap._native import cli
from brindlecap.functions.filtrations.builtin_runtime_targets import resolve_builtin_filtration_target
from brindlecap.functions.registry_and_store.store_builder import FunctionStore, build_default_store
from conftest import mock_config

TIMINGS = {"small_elapsed_s", "small_time_s", "large_elapsed_s", "large_time_s", "median_us", "p99_us",
           "throughput_per_sec"}


def comparable(value):
    """Evidence as the command line's JSON writes it: sets as sorted lists, NaN as a marker."""
    if isinstance(value, dict):
        return {str(k): comparable(v) for k, v in value.items() if k not in TIMINGS}
    if isinstance(value, (set, frozenset)):
        return sorted(value)
    if isinstance(value, (list, tuple)):
        return [comparable(v) for v in value]
    if isinstance(value, float) and math.isnan(value):
        return "NaN"
    return value


def outcomes(operator_results):
    return {name: {check: (o["status"], o["details"], comparable(o["evidence"])) for check, o in r["checks"].items()}
            | {"accepted": r["accepted"]} for name, r in operator_results.items()}


def as_json_like(result):
    return {name: {"accepted": r.accepted,
                   "checks": {c: {"status": o.status, "details": o.details, "evidence": o.evidence}
                              for c, o in r.checks.items()}}
            for name, r in result.operator_results.items()}


@pytest.fixture(scope="module")
def command_line_outcomes():
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = cli.run(["evaluate", "--json", "--progress", "never"])
    assert status == 0
    return outcomes(json.loads(out.getvalue())["operator_results"])


def python_wrapped_store():
    """Each built-in behind a Python callable: every call goes through Python and back."""
    store = FunctionStore()
    for name in build_default_store().list_by_function_type("filtration"):
        entry = build_default_store().get_entry(name)
        builtin = resolve_builtin_filtration_target(entry.module_path, entry.class_name)
        store.register(name, factory=lambda *args, _builtin=builtin: _builtin(*args))
    return store


@pytest.mark.parametrize("store", [build_default_store, python_wrapped_store], ids=["cpp", "python-wrapped"])
def test_builtins_from_python_match_the_command_line(demo_signals, command_line_outcomes, store):
    got = outcomes(as_json_like(fe._evaluate(mock_config(demo_signals), None, store())))
    assert list(got) == list(command_line_outcomes) and len(got) == 16
    for name in got:
        assert got[name] == command_line_outcomes[name], name
