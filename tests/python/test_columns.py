"""Pools built column-wise from numpy arrays and pandas DataFrames."""
import numpy as np
import pandas as pd
import pytest

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.columns import pool_from_columns, pool_from_dataframe
from brindlecap.functions.registry_and_store.store_builder import build_default_store
from conftest import make_pool

NAN = float("nan")
IDS = ["s3", "s10", "s1", "s2"]  # pool order differs from code point order
COLUMNS = {
    "is_sharpe": np.array([1.5, NAN, -0.5, 0.7]),
    "n": np.array([3, 1, 2, 2**60]),
    "is_active": np.array([True, False, True, False]),
    "signal_category": ["momentum", None, "value", "momentum"],
    "rotation_families_used": [["numerical", "event"], [], None, ["event"]],
    "odd": [1, "x", None, 2.5],
}
TREES = [
    fe.FilterNode("gt", {"field": "is_sharpe", "value": 0.0}),
    fe.FilterNode("top_n", {"field": "n", "n": 2}),
    fe.FilterNode("eq", {"field": "is_active", "value": True}),
    fe.FilterNode("in_", {"field": "signal_category", "values": ["momentum", "value"]}),
    fe.FilterNode("not_", children=[fe.FilterNode("in_", {"field": "rotation_families_used", "values": ["event"]})]),
    fe.FilterNode("eq", {"field": "odd", "value": "x"}),
]


def rows():
    """The same signals as metadata dicts: a None entry is a field the signal does not hold."""
    out = {}
    for i, sid in enumerate(IDS):
        md = {}
        for name, column in COLUMNS.items():
            value = column[i]
            if value is None:
                continue
            md[name] = value.item() if isinstance(value, np.generic) else value
        out[sid] = md
    return out


def outcome(pool, tree):
    try:
        r = fe.resolve_filtrations(pool, tree, build_default_store())
        return r.passing_ids, [(d.filter_description, d.passing_count) for d in r.filter_diagnostics]
    except Exception as e:  # the same error, with the same message, from both pools
        return type(e).__name__, str(e)


def test_a_column_pool_answers_as_the_same_signals_in_dicts():
    columns = pool_from_columns(IDS, COLUMNS)
    dicts = make_pool(rows())
    for tree in TREES:
        assert outcome(columns, tree) == outcome(dicts, tree), tree
    assert list(columns) == IDS and len(columns) == 4 and "s10" in columns and "zz" not in columns
    assert columns["s2"].metadata == rows()["s2"]
    with pytest.raises(KeyError):
        columns["zz"]


def test_a_dataframe_gives_ids_from_its_index_or_a_column_and_keeps_categoricals():
    frame = pd.DataFrame({"is_sharpe": [0.5, -1.0, 2.0], "signal_category": pd.Categorical(["a", "b", "a"])},
                         index=["x", "y", "z"])
    pool = pool_from_dataframe(frame)
    gt = fe.FilterNode("gt", {"field": "is_sharpe", "value": 0.0})
    assert fe.resolve_filtrations(pool, gt, build_default_store()).passing_ids == ["x", "z"]
    assert pool["y"].metadata == {"is_sharpe": -1.0, "signal_category": "b"}
    by_column = pool_from_dataframe(frame.reset_index(names="id"), ids="id")
    assert list(by_column) == ["x", "y", "z"] and "id" not in by_column["x"].metadata


def test_bad_columns_are_refused():
    with pytest.raises(ValueError):
        pool_from_columns(["a", "b"], {"x": np.array([1.0])})  # one value short
    with pytest.raises(TypeError):
        pool_from_columns([1, 2], {})
    with pytest.raises(TypeError):
        pool_from_columns(["a"], {"t": np.array(["2024-01-01"], dtype="datetime64[D]")})
