"""The module's error classes and the host kinds the library raises."""
import pytest

import brindlecap.functions.filtrations_evaluation as fe

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
