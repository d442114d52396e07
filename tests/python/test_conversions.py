"""Values, arrays and generators across the boundary."""
import collections.abc
import datetime
import decimal
import json
import math

import numpy as np
import pytest

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.functions.registry_and_store.store_builder import build_default_store
from brindlecap.columns import pool_from_columns
from conftest import make_pool

OPAQUE = (1, "t")
SCALARS = [7, -(2**63), 2**63 - 1, 0.1, math.inf, -math.inf, -0.0, True, False, "sig", "", "é✓", None]
CONTAINERS = [["a", "b"], [], {"k": [1, {"n": 2.5, "flag": None}]}]
HANDLES = [OPAQUE, frozenset({"a"}), {"a", "b"}, datetime.date(2024, 1, 2), np.datetime64("2024-01-02"),
           decimal.Decimal("1.5")]
SURROGATE = json.loads('"\\ud83d"')  # a lone surrogate, as json.loads gives it


@pytest.mark.parametrize("value", SCALARS + CONTAINERS + HANDLES + [math.nan, np.float64(2.5), SURROGATE], ids=repr)
def test_metadata_round_trips(value):
    snapshot = fe._snapshot_signal_pool(make_pool({"s": {"x": value}}))
    back = snapshot["s"]["metadata"]["x"]
    if any(value is h for h in HANDLES):
        assert back is value  # opaque objects come back as the very object
    elif isinstance(value, float):  # float64 comes back a plain float
        assert type(back) is float and math.copysign(1, back) == math.copysign(1, value)
        assert back == value or math.isnan(back) and math.isnan(value)
    else:
        assert type(back) is type(value) and back == value


@pytest.mark.parametrize("value, number", [(np.int64(3), 3), (np.uint8(7), 7), (np.float32(0.1), float(np.float32(0.1))),
                                           (np.bool_(True), True)], ids=repr)
def test_numpy_scalars_are_the_numbers_they_hold(value, number):
    back = fe._snapshot_signal_pool(make_pool({"s": {"x": value}}))["s"]["metadata"]["x"]
    assert type(back) is type(number) and back == number


def test_numpy_scalars_order_as_numbers_and_dates_as_python_orders_them():
    day = datetime.date(2024, 1, 31)
    pool = make_pool({"a": {"x": np.float32(0.5), "d": np.datetime64("2024-01-02"), "day": day},
                      "b": {"x": np.float32(1.5), "d": np.datetime64("2024-03-01"), "day": day},
                      "c": {"x": 1, "d": np.datetime64("2024-02-01"), "day": datetime.date(2023, 5, 1)}})
    store = build_default_store()
    ids = lambda name, **params: fe.resolve_filtrations(pool, fe.FilterNode(name, params), store).passing_ids  # noqa: E731
    assert ids("top_n", field="x", n=np.int64(2)) == ["b", "c"]
    assert ids("gt", field="d", value=np.datetime64("2024-01-15")) == ["b", "c"]
    assert ids("bottom_n", field="day", n=1) == ["c"]
    with pytest.raises(TypeError, match="'>' not supported between instances of 'datetime.date' and 'int'"):
        ids("gt", field="day", value=3)
    # Where the host writes str(), objects print as str() does.
    assert fe.flatten_signal_metadata({day: 1.0}, {day: 2.0}, {}) == {"is_2024-01-31": 1.0, "os_2024-01-31": 2.0}
    assert fe._build_filter_description(fe.FilterNode("gt", {"field": "day", "value": day})) == "gt(day, 2024-01-31)"


def test_lone_surrogates_travel_both_ways():
    odd = SURROGATE + "x"
    store = build_default_store()
    for pool in (make_pool({odd: {"c": odd}, "plain": {"c": "y"}}), pool_from_columns([odd, "plain"], {"c": [odd, "y"]})):
        result = fe.resolve_filtrations(pool, fe.FilterNode("eq", {"field": "c", "value": odd}), store)
        assert result.passing_ids == [odd] and result.filter_diagnostics[0].filter_description == f"eq(c, {odd})"
        assert list(pool) == [odd, "plain"] and pool[odd].metadata == {"c": odd}
    with pytest.raises(fe.FilterValidationError, match=f"Unknown field '{odd}'"):
        fe.resolve_filtrations(pool, fe.FilterNode("eq", {"field": odd, "value": 1}), store)


@pytest.mark.parametrize("where", ["metadata", "params"])
def test_ints_beyond_64_bits_are_refused_by_name(pool, where):
    huge = 2**64
    if where == "metadata":
        pool["synth_0000"].metadata["size"] = huge
        tree = fe.FilterNode("gt", {"field": "is_sharpe", "value": 0.0})
    else:
        tree = fe.FilterNode("gt", {"field": "is_sharpe", "value": huge})
    with pytest.raises(ValueError, match=f"int {huge} does not fit in 64 bits"):
        fe.resolve_filtrations(pool, tree, build_default_store())


@pytest.mark.parametrize(
    "weights, error, message",
    [
        (np.zeros((3, 3), dtype=np.float32), TypeError, "must have dtype float64, got float32"),
        (np.zeros((3, 3), dtype=">f8"), TypeError, "must have dtype float64"),
        (np.zeros(3), ValueError, "must be a 2-D array, got 1 dimension"),
        ([[0.0]], TypeError, "must be a 2-D float64 numpy array, got list"),
        (None, TypeError, "got NoneType"),
    ],
)
def test_weights_must_be_2d_float64(pool, weights, error, message):
    pool["synth_0003"] = fe.UsefulSignal(weights=weights, pnl=None, metadata=pool["synth_0003"].metadata)
    with pytest.raises(error, match=message):
        fe.resolve_filtrations(pool, fe.FilterNode("gt", {"field": "is_sharpe", "value": 0.0}), build_default_store())


@pytest.mark.parametrize("weights", [np.arange(12.0).reshape(4, 3).T, np.arange(12.0).reshape(3, 4)[:, ::2],
                                     np.asfortranarray(np.arange(12.0).reshape(3, 4))], ids=["T", "slice", "F"])
def test_weights_of_any_layout_are_read(weights):
    pool = {"s": fe.UsefulSignal(weights=weights, pnl=None, metadata={"x": 1.0})}
    assert np.array_equal(fe._snapshot_signal_pool(pool)["s"]["weights"], weights)
    assert fe.resolve_filtrations(pool, fe.FilterNode("gt", {"field": "x", "value": 0}), build_default_store()).signal_count == 1


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


FAMILIES = ["numerical", "latitudinal", "longitudinal", "collection", "comparison", "event"]
CATEGORIES = ["momentum", "value", "volatility", "quality"]


def numpy_synthetic_signals(rng, n, T, A):
    """The fixture generator's draws, done by numpy itself."""
    pool = {}
    for i in range(n):
        k = int(rng.integers(1, 4))
        weights = rng.standard_normal((T, A))
        metadata = {name: float(rng.standard_normal()) for name in ("is_sharpe", "os_sharpe")}
        metadata |= {name: rng.standard_normal() * 0.1 for name in ("is_returns", "os_returns")}
        metadata |= {name: abs(rng.standard_normal()) for name in ("is_turnover", "os_turnover")}
        metadata["rotation_families_used"] = [str(f) for f in rng.choice(FAMILIES, k, replace=False)]
        metadata["expression_complexity"] = int(rng.integers(1, 21))
        metadata["submission_date"] = 1.7e9 + rng.uniform(0, 1e7)
        metadata["is_active"] = bool(rng.choice([True, False]))
        metadata["signal_category"] = str(rng.choice(CATEGORIES))
        pool[f"synth_{i:04d}"] = (weights, metadata)
    return pool


def test_generators_continue_where_numpy_would():
    config = fe.FiltrationEvaluationConfig(N_signals=6, T=3, N_alloc=2)
    rng, ref = np.random.default_rng(11), np.random.default_rng(11)
    rng.integers(0, 10)  # leaves half of a 64-bit draw buffered
    ref.integers(0, 10)
    pool = fe._generate_synthetic_signals(config, rng)
    expected = numpy_synthetic_signals(ref, 6, 3, 2)
    assert list(pool) == list(expected)
    for sid, (weights, metadata) in expected.items():
        assert np.array_equal(pool[sid].weights, weights) and pool[sid].metadata == metadata
    fe._build_correctness_test_pool(config, rng)
    ref.integers(0, 2**31)
    assert rng.bit_generator.state == ref.bit_generator.state
    assert list(rng.integers(0, 1000, 5)) == list(ref.integers(0, 1000, 5))


def test_only_pcg64_generators_are_taken():
    config = fe.FiltrationEvaluationConfig(N_signals=2)
    with pytest.raises(TypeError, match="PCG64"):
        fe._generate_synthetic_signals(config, np.random.Generator(np.random.MT19937(1)))
    with pytest.raises(TypeError, match="numpy.random.Generator, got RandomState"):
        fe._generate_synthetic_signals(config, np.random.RandomState(1))


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


def corrupted_generator(path, value):
    """A PCG64 generator whose reported state holds `value` at `path`, and which records writes to its state."""
    class Odd(np.random.PCG64):
        writes = []

        @property
        def state(self):
            state = np.random.PCG64.state.__get__(self)
            state["bit_generator"] = "PCG64"
            *outer, last = path
            target = state
            for key in outer:
                target = target[key]
            target[last] = value
            return state

        @state.setter
        def state(self, value):
            Odd.writes.append(value)

    return np.random.Generator(Odd(1)), Odd.writes


@pytest.mark.parametrize("path, value, error, message", [
    (("state", "inc"), "x", TypeError, r"state\['state'\]\['inc'\] must be an int, got str"),
    (("state", "state"), b"x", TypeError, r"state\['state'\]\['state'\] must be an int, got bytes"),
    (("state", "state"), -1, ValueError, r"state\['state'\]\['state'\] must be in \[0, 2\*\*128\), got -1"),
    (("state",), (1, 2), TypeError, r"state\['state'\] must be a dict, got tuple"),
    (("has_uint32",), None, TypeError, r"state\['has_uint32'\] must be an int, got NoneType"),
    (("uinteger",), 2**32, ValueError, r"state\['uinteger'\] must be in \[0, 4294967295\]"),
])
def test_generator_states_are_checked_before_use(path, value, error, message):
    rng, writes = corrupted_generator(path, value)
    with pytest.raises(error, match=message):
        fe._generate_synthetic_signals(fe.FiltrationEvaluationConfig(N_signals=2), rng)
    assert writes == []  # nothing was drawn, nothing written back


@pytest.mark.parametrize("test_cases, message", [
    ("x", "test_cases must be a list of mappings, got str"),
    (["x"], "test_cases items must be mappings, got str"),
    ([1], "test_cases items must be mappings, got int"),
    (("a",), "test_cases items must be mappings, got str"),
    ([None], "test_cases items must be mappings, got NoneType"),
    ([{"pool": {"s": 5}, "expected": set()}], "a test case pool entry must be a UsefulSignal or a dict, got int"),
    ([{"pool": [("s", {})], "expected": set()}], "test case pool must be a mapping, got list"),
    ([{"children_results": "ab", "expected": set()}], "children_results must be a list of sets, got str"),
    ([{"children_results": ["ab"], "expected": set()}], "children_results entries must be a set of str, got str"),
    ([{"expected": {1}}], "identifier set members must be str, got int"),
])
def test_test_cases_are_checked(test_cases, message):
    config = fe.FiltrationEvaluationConfig(mode="mock", mock_signals={"s": {"is_sharpe": 1.0}}, skip_checks={8})
    with pytest.raises(TypeError, match=message):
        fe._evaluate(config, [fe.EvalFiltrationConfig("gt", test_cases=test_cases)], build_default_store())


class Pairs(collections.abc.Mapping):
    """A mapping whose items() are not pairs."""
    __getitem__, __iter__, __len__ = {"a": 1}.__getitem__, lambda self: iter(["a"]), lambda self: 1

    def items(self):
        return [("a",)]


@pytest.mark.parametrize("call, message", [
    (lambda: fe.resolve_filtrations(Pairs(), fe.FilterNode("gt"), build_default_store()), r"items must be \(key, value\) pairs"),
    (lambda: fe._pool_matches_snapshot({}, Pairs()), r"items must be \(key, value\) pairs, got tuple"),
    (lambda: fe.resolve_filtrations({}, fe.FilterNode("gt", Pairs()), build_default_store()), "items must be"),
    (lambda: fe.resolve_filtrations({}, fe.FilterNode("and_", children="ab"), build_default_store()),
     "FilterNode.children must be a list of FilterNode, got str"),
    (lambda: fe._evaluate(fe.FiltrationEvaluationConfig(skip_checks=8), None, build_default_store()),
     "skip_checks must be a set of int, got int"),
    (lambda: fe._postprocess_result(set(), "ab"), "pool_keys must be a set of str, got str"),
], ids=["pool", "snapshot", "params", "children", "skip_checks", "pool_keys"])
def test_records_and_mappings_are_checked(call, message):
    with pytest.raises(TypeError, match=message):
        call()
