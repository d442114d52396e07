"""Values, arrays and generators across the boundary."""
import json

import numpy as np
import pytest

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.functions.registry_and_store.store_builder import build_default_store
from brindlecap.columns import pool_from_columns
from conftest import DATA, make_pool

SURROGATE = json.loads('"\\ud83d"')  # a lone surrogate, as json.loads gives it


def test_lone_surrogates_travel_both_ways():
    odd = SURROGATE + "x"
    store = build_default_store()
    for pool in (make_pool({odd: {"c": odd}, "plain": {"c": "y"}}), pool_from_columns([odd, "plain"], {"c": [odd, "y"]})):
        result = fe.resolve_filtrations(pool, fe.FilterNode("eq", {"field": "c", "value": odd}), store)
        assert result.passing_ids == [odd] and result.filter_diagnostics[0].filter_description == f"eq(c, {odd})"
        assert list(pool) == [odd, "plain"] and pool[odd].metadata == {"c": odd}
    with pytest.raises(fe.FilterValidationError, match=f"Unknown field '{odd}'"):
        fe.resolve_filtrations(pool, fe.FilterNode("eq", {"field": odd, "value": 1}), store)


def test_snapshots_copy_arrays_and_see_later_changes():
    weights, pnl = np.arange(6.0).reshape(2, 3), np.ones((2, 1))
    pool = {"s": fe.UsefulSignal(weights=weights, pnl=pnl, metadata={"v": [1.0]})}
    snapshot = fe._snapshot_signal_pool(pool)
    assert np.array_equal(snapshot["s"]["weights"], weights) and not np.shares_memory(snapshot["s"]["weights"], weights)
    assert fe._pool_matches_snapshot(pool, snapshot)
    weights[1, 2] = np.nan  # the library reads the caller's buffer, not a copy
    assert not fe._pool_matches_snapshot(pool, snapshot)
    snapshot = fe._snapshot_signal_pool(pool)
    assert fe._pool_matches_snapshot(pool, snapshot)  # NaN left in place counts as unchanged
    pool["s"].metadata["v"].append(2.0)
    assert not fe._pool_matches_snapshot(pool, snapshot)


def test_generators_continue_where_numpy_would():
    golden = json.loads((DATA / "golden" / "synthetic_seed0_n12_t5_a4.json").read_text())["signals"]
    pool = fe._generate_synthetic_signals(fe.FiltrationEvaluationConfig(N_signals=12, T=5, N_alloc=4),
                                          np.random.default_rng(0))
    assert {sid: s.metadata for sid, s in pool.items()} == {sid: g["metadata"] for sid, g in golden.items()}
    assert [pool[sid].weights.ravel().tolist() for sid in golden] == [
        [float.fromhex(w) for w in g["weights"]] for g in golden.values()]
    rng, ref = np.random.default_rng(11), np.random.default_rng(11)
    rng.integers(0, 10)  # leaves half of a 64-bit draw buffered: the next draw below 2**32 takes it
    ref.integers(0, 10)
    fe._build_correctness_test_pool(fe.FiltrationEvaluationConfig(N_signals=6), rng)
    ref.integers(0, 2**31)  # its one draw
    assert rng.bit_generator.state == ref.bit_generator.state
    assert list(rng.integers(0, 1000, 5)) == list(ref.integers(0, 1000, 5))


class LazySignal:
    """A signal whose metadata is built anew at every read: its strings are freed after each conversion."""
    weights, pnl = np.zeros((1, 1)), None

    def __init__(self, i, make):
        self.i, self.make = i, make

    @property
    def metadata(self):
        return self.make(self.i)


@pytest.mark.parametrize("make", [
    lambda i: {"is_sharpe": float(i), "tag": f"t{i}" * 3},  # values made on access
    lambda i: {f"k{i % 7}": 1.0, "is_sharpe": float(i)},  # keys made on access
], ids=["values", "keys"])
def test_temporary_strings_keep_their_own_text(make):
    pool = {f"s{i}": LazySignal(i, make) for i in range(200)}
    snapshot = fe._snapshot_signal_pool(pool)
    assert [s["metadata"] for s in snapshot.values()] == [make(i) for i in range(200)]
