"""Results as pandas DataFrames."""
from typing import Any, TypeAlias

from brindlecap.functions.filtrations_evaluation import (EmptyFiltrationError, FiltrationEvaluationResult,
                                                         FiltrationResult)

# pandas.DataFrame: pandas ships no type information of its own (pandas-stubs adds it).
_DataFrame: TypeAlias = Any

def diagnostics(result: FiltrationResult | EmptyFiltrationError) -> _DataFrame:
    """One row per node, root first: depth, node, operator, passing, emptied."""

def verdicts(evaluation_result: FiltrationEvaluationResult) -> _DataFrame:
    """One row per operator: a column per check (its status) and accepted."""
