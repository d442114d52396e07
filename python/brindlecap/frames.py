"""Results as pandas DataFrames:

    frames.diagnostics(fe.resolve_filtrations(pool, tree, store))   # one row per node
    frames.verdicts(fe.evaluate(config, None, store))                # one row per operator

pandas is imported on first use.
"""
from __future__ import annotations

from typing import Any

from brindlecap import _display

__all__ = ["diagnostics", "verdicts"]


def diagnostics(result: Any) -> "pandas.DataFrame":
    """One row per node of the tree, root first (the order the tool prints them).

    Parameters
    ----------
    result : FiltrationResult | EmptyFiltrationError
        What resolve_filtrations returned, or the error it raised (its filter_diagnostics).

    Returns
    -------
    pandas.DataFrame
        Columns: ``depth`` (0 for the root), ``node`` (the description, e.g. ``gt(is_sharpe, 0.5)``),
        ``operator``, ``passing`` (signals that pass the node) and ``emptied`` (nothing passes the
        node though each of its children passes something).
    """
    import pandas

    rows = _display.node_rows(result.filter_diagnostics or [])
    return pandas.DataFrame({
        "depth": pandas.Series([r.depth for r in rows], dtype="int64"),
        "node": pandas.Series([r.description for r in rows], dtype="object"),
        "operator": pandas.Series([r.function_name for r in rows], dtype="object"),
        "passing": pandas.Series([r.passing_count for r in rows], dtype="int64"),
        "emptied": pandas.Series([r.emptied for r in rows], dtype="bool"),
    })


def verdicts(evaluation_result: Any) -> "pandas.DataFrame":
    """One row per operator (the index), a column per check holding its status ('pass', 'fail',
    'skip', ...) and ``accepted``.

    Parameters
    ----------
    evaluation_result : FiltrationEvaluationResult
        What evaluate returned.

    Returns
    -------
    pandas.DataFrame
        The failed checks' details are in ``evaluation_result.operator_results[name].checks``.
    """
    import pandas

    checks = _display.check_names(evaluation_result)
    results = evaluation_result.operator_results
    columns: dict[str, list] = {check: [] for check in checks}
    for verdict in results.values():
        for check in checks:
            outcome = verdict.checks.get(check)
            columns[check].append(None if outcome is None else str(outcome.status))
    frame = pandas.DataFrame(columns, index=pandas.Index(list(results), name="operator"), dtype="object")
    frame["accepted"] = pandas.Series([bool(v.accepted) for v in results.values()], index=frame.index, dtype="bool")
    return frame
