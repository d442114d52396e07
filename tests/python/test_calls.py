"""Calls across the boundary from the table python_calls.jsonl: an expression and the repr of its value,
or the exact type of its error and its message."""
import collections.abc
import datetime  # noqa: F401 - the table's expressions use the names imported here
import decimal  # noqa: F401
import math  # noqa: F401
import re

import numpy as np
import pandas as pd  # noqa: F401
import pytest

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.columns import pool_from_columns, pool_from_dataframe  # noqa: F401
from brindlecap.functions import evaluation_utils  # noqa: F401
from brindlecap.functions.filtrations import boolean, comparison  # noqa: F401
from brindlecap.functions.filtrations.builtin_runtime_targets import resolve_builtin_filtration_target  # noqa: F401
from brindlecap.functions.registry_and_store.store_builder import build_default_store
from brindlecap.testing import judge  # noqa: F401
from conftest import cases, make_pool, mock_config, store_of
from operator_corpus.declared import DECLARED  # noqa: F401


def signals(pool):
    """A dict pool's plain dicts as signals holding them as metadata; any other pool as it is."""
    if not isinstance(pool, dict):
        return pool
    return {k: v if isinstance(v, fe.UsefulSignal) else make_pool({k: v})[k] for k, v in pool.items()}


def resolve(pool, tree, store=None):
    """Passing ids of a tree (a str one is parsed)."""
    tree = fe.parse_tree(tree) if isinstance(tree, str) else tree
    return fe.resolve_filtrations(signals(pool), tree, store or build_default_store()).passing_ids


def read(pool, tree):
    """Each signal's metadata as a snapshot holds it (by id, in pool order), and the ids the tree selects."""
    return {k: s["metadata"] for k, s in fe._snapshot_signal_pool(signals(pool)).items()}, resolve(pool, tree)


def meta(value):
    """A metadata value after a round trip through a pool snapshot."""
    return fe._snapshot_signal_pool(make_pool({"s": {"x": value}}))["s"]["metadata"]["x"]


def kept(value):
    return meta(value) is value


def setting(obj, **attributes):
    for name, value in attributes.items():
        setattr(obj, name, value)
    return obj


def with_cases(test_cases):
    config = mock_config({"s": {"is_sharpe": 1.0}}, skip_checks={8})
    return fe._evaluate(config, [fe.EvalFiltrationConfig("gt", test_cases=test_cases)], build_default_store())


class Pairs(collections.abc.Mapping):
    """A mapping whose items() are not pairs."""
    __getitem__, __iter__, __len__ = {"a": 1}.__getitem__, lambda self: iter(["a"]), lambda self: 1

    def items(self):
        return [("a",)]


WRITES = []  # states written to the generators corrupted() makes


def corrupted(path, value):
    """A PCG64 generator whose reported state holds `value` at `path`; what is written to it goes to WRITES."""
    class Odd(np.random.PCG64):
        @property
        def state(self):
            state = np.random.PCG64.state.__get__(self)
            state["bit_generator"] = "PCG64"
            target = state
            for key in path[:-1]:
                target = target[key]
            target[path[-1]] = value
            return state

        @state.setter
        def state(self, value):
            WRITES.append(value)

    return np.random.Generator(Odd(1))


def plain(value):
    """Whether value holds Python's own scalars and containers alone (numpy's print as theirs)."""
    if type(value) is dict:
        return all(plain(k) and plain(v) for k, v in value.items())
    if type(value) in (list, tuple):
        return all(map(plain, value))
    return type(value) in (int, float, str, bool, type(None))


@pytest.mark.parametrize("case", cases("python_calls.jsonl"))
def test_calls_from_the_table(case, pool, demo_signals):
    namespace = dict(globals(), pool=pool, demo=demo_signals)
    WRITES.clear()
    if "repr" in case:
        value = eval(case["call"], namespace)
        assert repr(value) == case["repr"] and plain(value)
    else:
        with pytest.raises(Exception) as caught:
            eval(case["call"], namespace)
        error = caught.value
        message = error.args[0] if isinstance(error, KeyError) else str(error)
        assert type(error) is eval(case["raises"], namespace), message
        assert message == case["message"] if "message" in case else re.search(case["match"], message), message
    assert WRITES == []  # a generator refused as read is not written back
