"""The module's error classes and the host kinds the library raises."""
import pytest

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.functions import evaluation_utils
from brindlecap.functions.filtrations.builtin_runtime_targets import resolve_builtin_filtration_target
from brindlecap.functions.registry_and_store.store_builder import build_default_store
from conftest import mock_config

MODULE_ERRORS = [fe.EmptyPoolError, fe.FilterValidationError, fe.FiltrationSubsetError, fe.EmptyFiltrationError]


@pytest.mark.parametrize("cls", MODULE_ERRORS, ids=lambda c: c.__name__)
def test_module_errors_derive_from_exception_alone(cls):
    assert cls.__bases__ == (Exception,) and cls.__module__ == fe.__name__ and cls.__doc__
    assert str(cls("message")) == "message"


def test_diagnostics_are_kept_as_the_constructors_say():
    assert (str(fe.EmptyPoolError()), fe.EmptyPoolError().filter_diagnostics) == ("", None)
    given = object()
    assert fe.EmptyPoolError("m", filter_diagnostics=given).filter_diagnostics is given
    empty = []
    kept = fe.EmptyFiltrationError("x", filter_diagnostics=empty).filter_diagnostics
    assert kept == [] and kept is not empty
    assert fe.EmptyFiltrationError("x").filter_diagnostics == []
    diagnostics = [fe.FilterDiagnostic("gt(x, 1)", 0, "gt")]
    assert fe.EmptyFiltrationError("x", filter_diagnostics=diagnostics).filter_diagnostics is diagnostics


def test_an_empty_outcome_carries_every_nodes_diagnostic(pool):
    tree = fe.FilterNode("not_", {}, [fe.FilterNode("gt", {"field": "is_sharpe", "value": -9.0})])
    with pytest.raises(fe.EmptyFiltrationError, match=r"^0 signals pass the complete filter tree \(not_\)$") as caught:
        fe.resolve_filtrations(pool, tree, build_default_store())
    assert caught.value.filter_diagnostics == [fe.FilterDiagnostic("gt(is_sharpe, -9.0)", len(pool), "gt"),
                                               fe.FilterDiagnostic("not_(1 child)", 0, "not_")]


def with_callback(demo):
    config = mock_config(demo)
    config._operator_progress_callback = 3
    fe._evaluate(config, None, build_default_store())


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda demo: fe._evaluate(mock_config(demo, N_trials=5), None, build_default_store()), ValueError,
         "N_trials must be >= 10, got 5."),
        (lambda demo: fe._evaluate(mock_config(demo), None), ValueError, "store (FunctionStore) is required."),
        (with_callback, TypeError, "filtration operator progress callback must be callable"),
        (lambda demo: build_default_store().get_entry("nope"), KeyError, "nope"),
        (lambda demo: fe._run_shared_filtration_check("nope"), KeyError,
         "Missing canonical shared check body: ('filtration', 'nope')"),
        (lambda demo: evaluation_utils.query_signal_metadata(["a"], 1, 2), RuntimeError,
         "signal metadata store is not configured"),
        (lambda demo: resolve_builtin_filtration_target("brindlecap.functions.nope", "x"), ModuleNotFoundError,
         "No module named 'brindlecap.functions.nope'"),
        (lambda demo: fe.flatten_signal_metadata((1,), {}, {}), AttributeError, "'tuple' object has no attribute 'keys'"),
        (lambda demo: fe.resolve_product_filtrations({}, None, "book"), fe.FilterValidationError,
         "product filtration tree is required"),
    ],
)
def test_host_kinds_and_messages(demo_signals, call, error, message):
    with pytest.raises(error) as caught:
        call(demo_signals)
    assert type(caught.value) is error
    if error is KeyError:
        assert caught.value.args == (message,)
    else:
        assert str(caught.value) == message
