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


def test_dates_are_float_epoch_seconds_and_nat_is_nan():
    ids = ["p", "q", "r"]
    stamps = ["2024-01-02", "NaT", "1969-12-31T23:59:59.250"]
    expected = [1704153600.0, NAN, -0.75]
    frame = pd.DataFrame({"ns": pd.to_datetime(stamps), "utc": pd.to_datetime(stamps).tz_localize("Europe/Paris")},
                         index=ids)
    for name, pool, seconds in [
        ("days", pool_from_columns(ids, {"d": np.array(stamps, dtype="datetime64[D]")}), [1704153600.0, NAN, -86400.0]),
        ("milliseconds", pool_from_columns(ids, {"d": np.array(stamps, dtype="datetime64[ms]")}), expected),
        ("months", pool_from_columns(ids, {"d": np.array(["1970-02", "NaT", "1969-12"], dtype="datetime64[M]")}),
         [2678400.0, NAN, -2678400.0]),
        ("pandas", pool_from_dataframe(frame[["ns"]].rename(columns={"ns": "d"})), expected),
        ("zoned", pool_from_dataframe(frame[["utc"]].rename(columns={"utc": "d"})), [x - 3600.0 for x in expected]),
    ]:
        got = [pool[i].metadata["d"] for i in ids]
        assert repr(got) == repr(seconds) and all(type(x) is float for x in got), name
        gt = fe.FilterNode("gt", {"field": "d", "value": 0.0})
        assert fe.resolve_filtrations(pool, gt, build_default_store()).passing_ids == ["p"], name


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


def test_a_bad_object_entry_is_refused_on_first_read_naming_column_and_signal():
    """Object columns are read when first needed: the error names the column and the signal, and
    comes again on every read (resolve, metadata, iteration), not only the first."""
    for bad in ([1, 2**70], np.array([1, 2**70], dtype=object)):
        pool = pool_from_columns(["a", "b"], {"x": np.array([1.0, 2.0]), "odd": bad})
        assert outcome(pool, fe.FilterNode("gt", {"field": "x", "value": 0.0}))[0] == ["a", "b"]  # not read
        eq = fe.FilterNode("eq", {"field": "odd", "value": 1})
        for read in (lambda: fe.resolve_filtrations(pool, eq, build_default_store()), lambda: pool["a"],
                     lambda: list(pool.values())):
            with pytest.raises(ValueError, match=r"^column 'odd', signal 'b': int 1180591620717411303424 does not fit"):
                read()


class Tag(str):
    """A str subclass, as some frames hold."""


def random_frame(seed):
    """A DataFrame of the five column kinds (float64 with NaN, int64, bool, categorical, lists of str
    as objects) plus a str column, ids in a shuffled order; and the same rows as metadata dicts."""
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 400 if seed % 5 else 5000))
    words = ["momentum", "value", "é", "", "carry", "z\u00e9ro"]
    ids = [f"sig_{i:06d}" if seed % 3 else rng.choice(["a", "b", "é", "\U0001f600", "A_"]) + str(i) for i in range(n)]
    ids = [ids[i] for i in rng.permutation(n)]
    if seed % 7 == 0:
        ids[0] = Tag(ids[0])
    floats = rng.choice([NAN, -0.0, 0.0, 1.5, -2.25, float("inf"), 1e308], n) if seed % 2 else rng.standard_normal(n)
    floats[rng.random(n) < 0.1] = NAN
    ints = rng.integers(-5, 5, n) if seed % 4 else rng.choice([0, 2**53 + 1, -(2**62), 7], n)
    flags = rng.random(n) < 0.5
    categories = pd.Categorical([words[k] if k < len(words) else None for k in rng.integers(0, len(words) + 1, n)])
    lists = [None if rng.random() < 0.1 else [words[k] for k in rng.integers(0, len(words), int(rng.integers(0, 4)))]
             for _ in range(n)]
    if seed % 6 == 0 and n > 1:
        lists[1] = tuple(lists[1] or ())
    names = [None if rng.random() < 0.2 else words[int(k)] for k in rng.integers(0, len(words), n)]
    fields = ["x", "n", "flag", "cat", "tags", "name"]
    if seed % 2:  # the fields in another order: object columns before typed ones
        fields = [fields[k] for k in rng.permutation(len(fields))]
    columns = {"x": floats, "n": ints, "flag": flags, "cat": categories, "tags": pd.Series(lists, dtype=object),
               "name": pd.Series(names, dtype=object)}
    frame = pd.DataFrame({"id": pd.Series(ids, dtype=object), **{f: columns[f] for f in fields}})
    dicts = {}
    for i in range(n):
        md = {"x": float(floats[i]), "n": int(ints[i]), "flag": bool(flags[i])}
        if not pd.isna(categories[i]):
            md["cat"] = categories[i]
        if lists[i] is not None:
            md["tags"] = list(lists[i])
        if names[i] is not None:
            md["name"] = names[i]
        dicts[str(ids[i])] = {f: md[f] for f in fields if f in md}
    return frame, dicts


RANDOM_TREES = [
    fe.FilterNode("gt", {"field": "x", "value": 0.0}),
    fe.FilterNode("top_pct", {"field": "x", "pct": 0.2}),
    fe.FilterNode("and_", children=[fe.FilterNode("gt", {"field": "x", "value": -1.0}),
                                    fe.FilterNode("in_", {"field": "cat", "values": ["momentum", "é"]})]),
    fe.FilterNode("in_", {"field": "tags", "values": ["value"]}),
    fe.FilterNode("between", {"field": "n", "low": -2, "high": 2**53 + 1}),
    fe.FilterNode("bottom_n", {"field": "n", "n": 3}),
    fe.FilterNode("not_", children=[fe.FilterNode("eq", {"field": "flag", "value": True})]),
    fe.FilterNode("eq", {"field": "name", "value": "carry"}),
]


def test_a_dataframe_pool_answers_as_its_rows_in_dicts_on_random_frames():
    """pool_from_dataframe (whole typed columns, ids read in place, object columns read on first
    use) against a pool of dicts: whichever is read first (a tree on a typed column, a tree on an
    object column, a signal's metadata), and after the frame's object cells are set anew."""
    import os
    for seed in range(int(os.environ.get("BRINDLECAP_TWIN_SEEDS", 40))):
        frame, dicts = random_frame(seed)
        pool = pool_from_dataframe(frame, ids="id")
        reference = make_pool(dicts)
        # The pool keeps the frame as it was built from.
        frame.at[0, "tags"] = ["carry", "value"]
        frame.at[len(frame) - 1, "name"] = "value"
        some = list(dicts)[len(dicts) // 2]
        if seed % 3 == 1:
            assert repr(pool[some].metadata) == repr(dicts[some]), seed
        trees = RANDOM_TREES[seed % len(RANDOM_TREES):] + RANDOM_TREES[:seed % len(RANDOM_TREES)]
        for tree in trees:
            got = outcome(pool, tree)
            assert got == outcome(reference, tree), (seed, tree)
            if isinstance(got[0], list):
                assert got[0] == sorted(got[0]) and all(type(i) is str for i in got[0]), (seed, tree)
        assert list(pool) == list(dicts), seed
        assert repr(pool[some].metadata) == repr(dicts[some]), seed
        if seed % 8 == 0:  # every signal's keys, in order
            assert [repr(s.metadata) for s in pool.values()] == [repr(md) for md in dicts.values()], seed


def test_threads_reading_an_object_column_first_at_once_agree():
    """Several threads (the resolve lets go of the interpreter) need the object column at once."""
    import threading
    frame, dicts = random_frame(5)
    tree = fe.FilterNode("in_", {"field": "tags", "values": ["value"]})
    expected = outcome(make_pool(dicts), tree)
    for _ in range(5):
        pool = pool_from_dataframe(frame, ids="id")
        got = []
        readers = [threading.Thread(target=lambda: got.append(outcome(pool, tree))) for _ in range(3)]
        readers.append(threading.Thread(target=lambda: got.append(len(list(pool.values())))))
        for t in readers:
            t.start()
        for t in readers:
            t.join()
        assert sorted(map(repr, got)) == sorted(map(repr, [expected] * 3 + [len(dicts)]))
