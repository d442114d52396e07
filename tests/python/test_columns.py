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
    return {sid: {name: column[i].item() if isinstance(column[i], np.generic) else column[i]
                  for name, column in COLUMNS.items() if column[i] is not None} for i, sid in enumerate(IDS)}


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
    assert isinstance(columns, collections.abc.Mapping) and list(columns) == list(columns.keys()) == IDS
    assert len(columns) == 4 and "s10" in columns and "zz" not in columns and columns.get("zz", 5) == 5
    assert [sid for sid, _ in columns.items()] == IDS and columns.get("s2").metadata == rows()["s2"]
    assert repr([s.metadata for s in columns.values()]) == repr(list(rows().values()))
    for missing in ("zz", 1):
        with pytest.raises(KeyError):
            columns[missing]


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
