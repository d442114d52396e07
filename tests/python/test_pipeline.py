"""The acceptance pipeline judging Python operators, with Python plug-ins, logs and warnings."""
import gc
import io
import os
import signal
import subprocess
import sys
import threading
import time
import tracemalloc
import types
import warnings

import numpy as np
import pytest
import structlog
from structlog.testing import capture_logs

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.functions.evaluation_utils import CheckOutcome, EvaluationCheckPlugin
from conftest import DATA, mock_config, store_of

CANONICAL = ["contract", "correctness", "nan_handling", "determinism", "parallel_safety", "boundary_conditions",
             "bias", "speed"]


def gt(prepared, params):
    return {sid for sid, value in prepared.values if value > params["value"]}


def judge(demo, operator, name="gt", **settings):
    return fe._evaluate(mock_config(demo, **settings), None, store_of(**{name: operator})).operator_results[name]


def test_operator_errors_become_the_checks_verdicts(demo_signals):
    def crashing(prepared, params):
        return 1 / 0

    def refusing_empty_pools(prepared, params):
        raise fe.EmptyPoolError("nothing to filter")

    contract = judge(demo_signals, crashing, skip_checks={8}).checks["contract"]
    assert (contract.status, contract.details) == ("fail", "Exception: ZeroDivisionError: division by zero")
    assert contract.evidence["error"] == "division by zero"
    # A module error raised in Python is the library's own: an empty pool may raise EmptyPoolError.
    config = fe.FiltrationEvaluationConfig(mode="mock", N_signals=12)
    outcome = fe._run_check_1_contract("gt", refusing_empty_pools, config, np.random.default_rng(3))
    assert outcome.details == "Exception: EmptyPoolError: nothing to filter"


class RecordingPlugin(EvaluationCheckPlugin):
    name = "desk_review"
    data_type = None

    def __init__(self, status="pass"):
        self.status, self.calls = status, []

    def validate(self, op_impl, pool, config):
        self.calls.append((op_impl, pool, config))
        return CheckOutcome(status=self.status, details="reviewed", evidence={"signals": len(pool)})


def test_python_plugins_run_after_the_canonical_checks(demo_signals):
    passing, failing = RecordingPlugin(), RecordingPlugin("fail")
    failing.name = "second_opinion"
    fe.register_check_plugin(passing)
    fe.register_check_plugin(failing)
    assert fe.get_registered_plugins() == [passing, failing] and list(fe._plugin_registry) == [passing, failing]
    with pytest.raises(ValueError, match="Evaluation check plugin name 'bias' collides"):
        fe.register_check_plugin(type("Bias", (RecordingPlugin,), {"name": "bias"})())

    store = store_of(gt=gt)
    config = mock_config(demo_signals, skip_checks={8})
    progress = []
    config._operator_progress_callback = lambda *args: progress.append(args + (config.N_signals,))
    result = fe._evaluate(config, None, store).operator_results["gt"]
    assert progress == [("gt", result, 1, 1, len(demo_signals))] and progress[0][1] is result
    assert list(result.checks) == CANONICAL + ["desk_review", "second_opinion"]
    assert result.checks["desk_review"] == CheckOutcome("pass", "reviewed", {"signals": len(demo_signals)})
    assert not result.accepted  # the failing plug-in counts
    op_impl, pool, seen_config = passing.calls[0]
    assert op_impl is gt and seen_config is config and config.N_signals == len(demo_signals)
    assert list(pool) == list(demo_signals) and all(isinstance(s, fe.UsefulSignal) for s in pool.values())
    assert pool["synth_0000"].weights.shape == (config.T, config.N_alloc)

    # A Python error in a plug-in and its data_type, read at run time, become its outcome.
    failing.validate = lambda *args: {}["missing"]
    passing.data_type = "products"
    checks = fe._evaluate(mock_config(demo_signals, skip_checks={8}), None, store).operator_results["gt"].checks
    assert (checks["second_opinion"].status, checks["second_opinion"].details) == ("fail", "Plugin error: 'missing'")
    assert checks["desk_review"].details == "Plugin data_type 'products' does not match operator"


def test_log_events_go_to_the_modules_logger(monkeypatch):
    raised = ValueError("no children today")

    def failing_and(pool_keys, params, children_results):
        raise raised

    config = fe.FiltrationEvaluationConfig(mode="mock", N_signals=12)
    with capture_logs() as logs:
        outcome = fe._run_check_3_correctness("and_", failing_and, config, np.random.default_rng(1))
    assert outcome.status == "fail"
    assert logs == [{"event": "boolean_correctness_check_failed", "op_name": "and_", "exc_info": raised,
                     "log_level": "warning"}]

    events = []
    monkeypatch.setattr(fe, "log", types.SimpleNamespace(warning=lambda event, **kw: events.append((event, kw))))
    fe._run_check_3_correctness("and_", failing_and, config, np.random.default_rng(1))
    assert events == [("boolean_correctness_check_failed", {"op_name": "and_", "exc_info": raised})]


def popping_gt(prepared, params):
    threshold = params.pop("value")
    return {sid for sid, value in prepared.values if value > threshold}


def zero_count_gt(prepared, params):
    params["n"] = 0
    return gt(prepared, params)


def shrinking_and(pool_keys, params, children_results):
    children_results[1].discard(min(children_results[1]))
    return children_results[0] & children_results[1]


@pytest.mark.parametrize("name, operator, shared_cases, expect", [
    # The reference gets the mapping the operator emptied: its target is None and `>` raises, or
    # the dispatch refuses the n the operator added: no parameter set matches.
    ("gt", popping_gt, 0, {"correctness": ("fail", "Correctness check for gt: 0/3"), "bias": ("pass", None)}),
    ("gt", zero_count_gt, 0, {"correctness": ("fail", "Correctness check for gt: 0/3")}),
    # Two custom cases share the caller's mapping; the second gets it without "value": the operator raises KeyError.
    ("gt", popping_gt, 2, {"correctness": ("fail", "Custom cases: 1/2 passed")}),
    # and_ is compared with the very child it changed: NaN propagation holds.
    ("and_", shrinking_and, 0, {"nan_handling": ("pass", "NaN propagation through boolean combinator verified")}),
    # The sensitivity probe's second call gets the emptied mapping and raises: the probe's fallback.
    ("my_gt", popping_gt, 0, {"bias": ("pass", None)}),
])
def test_python_operators_receive_the_mappings_the_checks_reuse(demo_signals, name, operator, shared_cases, expect):
    shared = {"field": "is_sharpe", "value": 0.0}
    expected = {sid for sid, md in demo_signals.items() if md["is_sharpe"] > 0.0}
    cases = [{"params": shared, "expected": expected} for _ in range(shared_cases)] or None
    result = fe._evaluate(mock_config(demo_signals, skip_checks={8}), [fe.EvalFiltrationConfig(name, test_cases=cases)],
                          store_of(**{name: operator})).operator_results[name]
    for check, (status, details) in expect.items():
        outcome = result.checks[check]
        assert outcome.status == status and (details is None or details in outcome.details), (check, outcome)
    if cases:
        assert shared == {"field": "is_sharpe"}  # the caller's own mapping, changed
    if name == "my_gt":
        assert result.checks["bias"].evidence["observed_ratio"] == 1.0
        assert "metadata_sensitivity" not in result.checks["bias"].evidence


def raising(*args):
    raise ValueError("operator trouble")


@pytest.mark.parametrize("check, name, event", [
    ("_run_check_7_bias", "gt", "comparison_performance_trial_failed"),
    ("_run_check_7_bias", "top_n", "rank_bias_trial_failed"),
    ("_run_check_8_speed", "gt", "speed_benchmark_iteration_failed"),
    ("_run_check_3_correctness", "gt", "correctness_test_case_failed"),
])
def test_logged_operator_errors_show_where_the_operator_raised(check, name, event):
    """The default console renderer prints the operator's own traceback (it reads sys.exc_info())."""
    out = io.StringIO()
    structlog.configure(processors=[structlog.dev.ConsoleRenderer(colors=False)],
                        logger_factory=structlog.PrintLoggerFactory(out))
    try:
        config = fe.FiltrationEvaluationConfig(mode="mock", N_signals=12, N_trials=10, speed_small_T=2, speed_small_N=5,
                                               speed_large_T=2, speed_large_N=5)
        cases = [[{"params": {"field": "is_sharpe"}, "expected": set()}]] if check == "_run_check_3_correctness" else []
        getattr(fe, check)(name, raising, config, np.random.default_rng(0), *cases)
    finally:
        structlog.reset_defaults()
    line = raising.__code__.co_firstlineno + 1
    assert event in out.getvalue() and f'File "{__file__}", line {line}, in raising' in out.getvalue()
    assert "NoneType: None" not in out.getvalue()


def test_incomplete_mock_metadata_warns_and_warnings_can_be_errors():
    signals = {f"s{i}": {"is_sharpe": float(i)} for i in range(10)}
    config = mock_config(signals)
    with pytest.warns(UserWarning, match=r"Signal 's0' metadata missing fields: expression_complexity, is_active"):
        fe._ingest_mock_data_filtration(config)
    assert config.N_signals == 10 and config.signal_metadata["s3"] is signals["s3"]

    config = mock_config(signals)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="Signal 's0'"):
            fe._ingest_mock_data_filtration(config)
    assert config.N_signals == 10  # written before the first warning


def test_parallel_safety_calls_a_python_operator_from_two_workers():
    threads = []

    def recording_gt(prepared, params):
        threads.append(threading.get_ident())
        return gt(prepared, params)

    config = fe.FiltrationEvaluationConfig(mode="mock", N_signals=12)
    outcome = fe._run_check_5_parallel_safety("gt", recording_gt, config, np.random.default_rng(0))
    assert outcome.status == "pass" and outcome.evidence["result_count"] == 3
    # The baseline on the caller's thread, then one call from each task on the workers.
    assert len(threads) == 3 and threads[0] == threading.get_ident()
    assert threading.get_ident() not in threads[1:]


@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_in_an_operator_ends_the_run(demo_signals, stop):
    calls = []

    def interrupting(prepared, params):
        calls.append(1)
        raise stop()

    store = store_of(gt=interrupting)
    with pytest.raises(stop):
        fe._evaluate(mock_config(demo_signals), None, store)
    assert len(calls) == 1  # no check went on after it


INTERRUPTED_RUN = """
import json, sys, time
import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.functions.registry_and_store.store_builder import FunctionStore, build_default_store

def slow_gt(prepared, params):
    time.sleep(0.05)
    return {sid for sid, value in prepared.values if value > params["value"]}

store = build_default_store()
if sys.argv[1] == "python":
    store = FunctionStore()
    store.register("gt", factory=slow_gt)
signals = json.loads(open(sys.argv[2]).read())
# Ten million bias trials: minutes of work, in C++ with the GIL released for the built-in gt.
config = fe.FiltrationEvaluationConfig(mode="mock", mock_signals=signals, N_trials=10**7, skip_checks={8})
try:
    print("running", flush=True)
    fe._evaluate(config, [fe.EvalFiltrationConfig("gt")], store)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.parametrize("operator", ["builtin", "python"])
def test_ctrl_c_ends_a_run_promptly(operator):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-W", "ignore", "-c", INTERRUPTED_RUN, operator,
                              str(DATA / "golden" / "demo_signals.json")], stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline() == "running\n"
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=20)
    finally:
        child.kill()
    assert out == "interrupted\n" and child.returncode == 0


def test_calls_do_not_leak_references_or_memory(pool):
    params, keep = {"note": "kept"}, sorted(pool)[:5]
    tree = fe.FilterNode("filtration", params)
    chooser = lambda pool_keys, node_params: keep  # noqa: E731
    store = store_of(filtration=chooser)
    counted = [chooser, params, keep, keep[0], pool["synth_0001"].metadata, pool["synth_0001"].weights]

    def run(times):
        for _ in range(times):
            fe.resolve_filtrations(pool, tree, store)

    run(100)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in counted]
    tracemalloc.start()
    run(100)
    first, _ = tracemalloc.get_traced_memory()
    run(1000)
    gc.collect()
    second, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in counted] == before
    assert second - first < 64 * 1024
