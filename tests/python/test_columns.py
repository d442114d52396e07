"""Pools built column-wise from numpy arrays and pandas DataFrames."""
import collections.abc

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


def test_missing_entries_are_not_held():
    """pandas NA (convert_dtypes), masked entries and NaT: the signal does not hold the field."""
    ids = ["p", "q", "r"]
    frame = pd.DataFrame({"x": [1, None, 3], "s": ["a", None, "b"]}, index=ids).convert_dtypes()
    masked = pool_from_columns(ids, {"x": np.ma.array([1, 2, 3], mask=[0, 1, 0]),
                                     "s": np.ma.array(["a", "z", "b"], mask=[0, 1, 0])})
    as_metadata = make_pool({"p": {"x": 1, "s": "a"}, "q": {"x": pd.NA, "s": np.ma.masked}, "r": {"x": 3, "s": "b"}})
    dicts = make_pool({"p": {"x": 1, "s": "a"}, "q": {}, "r": {"x": 3, "s": "b"}})
    trees = [fe.FilterNode("gt", {"field": "x", "value": 0}), fe.FilterNode("eq", {"field": "s", "value": ""}),
             fe.FilterNode("bottom_n", {"field": "x", "n": 1})]
    for pool in (pool_from_dataframe(frame), masked, as_metadata):
        assert [outcome(pool, tree) for tree in trees] == [outcome(dicts, tree) for tree in trees]
        assert fe._snapshot_signal_pool(pool)["q"]["metadata"] == {}
    days = pool_from_columns(ids, {"d": np.array(["2024-01-02", "NaT", "2024-03-01"], dtype="datetime64[D]")})
    assert [s.metadata for s in days.values()] == [{"d": np.datetime64("2024-01-02")}, {}, {"d": np.datetime64("2024-03-01")}]
    gt_day = fe.FilterNode("gt", {"field": "d", "value": np.datetime64("2024-02-01")})
    assert fe.resolve_filtrations(days, gt_day, build_default_store()).passing_ids == ["r"]


def test_a_column_pool_is_a_mapping():
    pool = pool_from_columns(IDS, {"is_sharpe": np.array([1.5, 2.0, -0.5, 0.7])})
    assert isinstance(pool, collections.abc.Mapping) and list(pool.keys()) == IDS
    assert [sid for sid, _ in pool.items()] == IDS
    assert [s.metadata for s in pool.values()] == [pool[sid].metadata for sid in IDS]
    assert pool.get("zz") is None and pool.get("zz", 5) == 5 and pool.get("s1").metadata == {"is_sharpe": -0.5}
    with pytest.raises(KeyError):
        pool[1]


def test_bad_columns_are_refused():
    with pytest.raises(ValueError):
        pool_from_columns(["a", "b"], {"x": np.array([1.0])})  # one value short
    with pytest.raises(TypeError):
        pool_from_columns([1, 2], {})
    with pytest.raises(TypeError):
        pool_from_columns(["a"], {"z": np.array([1j])})
    with pytest.raises(ValueError, match=r"column 'u' holds unsigned integers from 2\*\*63 on"):
        pool_from_columns(["a", "b"], {"u": np.array([1, 2**63], dtype=np.uint64)})
    assert pool_from_columns(["a"], {"u": np.array([2**63 - 1], dtype=np.uint64)})["a"].metadata == {"u": 2**63 - 1}
