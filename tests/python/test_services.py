"""The store, the operator cache, the metadata store, the telemetry hooks, flattening and products."""
import numpy as np
import pytest

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.functions import evaluation_utils
from brindlecap.functions.registry_and_store.store_builder import FunctionStore, StoreEntry, build_default_store


def test_store_entries():
    pick = lambda pool_keys, params: pool_keys  # noqa: E731
    store = build_default_store()
    assert len(store) == 16 and store.list_by_function_type("filtration")[-4:] == ["and_", "or_", "not_", "filtration"]
    store.register("gt", factory=pick, data_type=("signals", 2))
    store.register_entry(StoreEntry(name="mine", function_type="custom", module_path="desk", class_name="Mine"))
    entry = store.get_entry("gt")
    assert (entry.name, entry.function_type, entry.factory, entry.data_type) == ("gt", "filtration", pick, ("signals", 2))
    assert store.list_by_function_type("filtration")[0] == "gt" and store.list_by_function_type("custom") == ["mine"]
    assert store.get_entry("mine") == StoreEntry("mine", "custom", None, "desk", "Mine", None)
    assert store.has("mine") and not store.has("theirs") and len(store) == 17
    assert len(build_default_store(function_types=())) == 0


def test_operators_are_cached_per_store(pool):
    fe._operator_cache.clear()
    first, second = FunctionStore(), FunctionStore()
    first.register("filtration", factory=lambda keys, params: sorted(keys)[:1])
    second.register("filtration", factory=lambda keys, params: sorted(keys)[:2])
    tree = fe.FilterNode("filtration")
    assert fe.resolve_filtrations(pool, tree, first).signal_count == 1
    assert fe.resolve_filtrations(pool, tree, second).signal_count == 2
    assert fe._load_operator(first, "filtration") is first.get_entry("filtration").factory
    assert len(fe._operator_cache) == 2 and "filtration" in fe._operator_cache
    del first
    assert list(fe._operator_cache) == ["filtration"]
    fe._operator_cache.clear()
    assert not fe._operator_cache


def test_pool_keeper_counts_fixture_pools():
    fe._pool_keeper.clear()
    kept = fe._generate_synthetic_signals(fe.FiltrationEvaluationConfig(N_signals=3))
    fe._build_seeded_operator_fixture("gt", fe.FiltrationEvaluationConfig(N_signals=3))
    assert len(fe._pool_keeper) == 2 and len(kept) == 3
    fe._pool_keeper.clear()
    assert not fe._pool_keeper


def test_real_mode_reads_the_metadata_store(tmp_path, demo_signals, monkeypatch):
    path = tmp_path / "signals.db"
    ids = list(demo_signals)[:10]
    rows = [(sid, 1, 412, demo_signals[sid]) for sid in ids[:5]] + [
        (sid, 1, 412, '{"is_sharpe": NaN, "tags": ["a"]}') for sid in ids[5:]]
    evaluation_utils.create_signal_metadata_store(path, rows)
    evaluation_utils.configure_signal_metadata_store(path)
    try:
        found = evaluation_utils.query_signal_metadata(ids + ["absent"], 1, 412)
        assert list(found) == ids and found[ids[0]] == demo_signals[ids[0]] and found[ids[9]]["tags"] == ["a"]
        config = fe.FiltrationEvaluationConfig(mode="real", signal_ids=ids[:5], market_id=1, era_number=412)
        fe._ingest_real_data_filtration(config)
        assert config.signal_metadata == {sid: demo_signals[sid] for sid in ids[:5]} and config.N_signals == 5
    finally:
        evaluation_utils.configure_signal_metadata_store(None)

    asked = []

    def fake_query(signal_ids, market_id, era_number):
        asked.append((signal_ids, market_id, era_number))
        return {sid: demo_signals[sid] for sid in signal_ids}

    monkeypatch.setattr(evaluation_utils, "_query_signal_metadata", fake_query)
    config = fe.FiltrationEvaluationConfig(mode="real", signal_ids=ids, market_id=3, era_number=9)
    fe._ingest_real_data_filtration(config)
    assert asked == [(ids, 3, 9)] and config.N_signals == 10


def test_telemetry_hooks_are_the_module_attributes_at_call_time(monkeypatch):
    observer, seen = object(), []
    with pytest.raises(RuntimeError, match="internal telemetry observers are unavailable"):
        fe.flatten_signal_metadata({"s": 1}, {"s": 2}, {}, telemetry_observer=observer)
    monkeypatch.setattr(fe, "_record_surface_observation",
                        lambda obs, **kw: seen.append((obs, kw["surface"], kw["behaviour"], kw["value"], kw["tags"])))
    monkeypatch.setattr(fe, "flush_surface_observer_sync", lambda obs: seen.append((obs, "flush")))
    with pytest.raises(ValueError, match="Key collision detected: 'is_s'"):
        fe.flatten_signal_metadata({"s": 1}, {"s": 2}, {"is_s": 3}, telemetry_observer=observer)
    assert [entry[2] for entry in seen[:3]] == ["entry", "decision", "exit"] and seen[3] == (observer, "flush")
    assert all(entry[0] is observer for entry in seen) and seen[0][1] == fe._FILTRATIONS_EVALUATION_SURFACE
    assert seen[1][4]["status"] == "error" and seen[1][4]["error_type"] == "ValueError"


def test_flattening_and_products_keep_the_callers_objects():
    window, tags = np.arange(3.0), {"desk"}
    flat = fe.flatten_signal_metadata({"sharpe": 1.5, "window": window}, {"sharpe": 0.5, "window": window},
                                      {"tags": tags})
    assert list(flat) == ["is_sharpe", "is_window", "os_sharpe", "os_window", "tags"]
    assert flat["is_window"] is window and flat["tags"] is tags

    class Strategy:
        investment_product_type = "strategy"
        metadata = {"is_sharpe": 1.2}

    obj = Strategy()
    products = {"a": obj, "b": {"metadata": {"investment_product_type": "strategy", "is_sharpe": 0.3}},
                "c": {"investment_product_type": "signal", "is_sharpe": 2.0}}
    handed = []
    result = fe.resolve_product_filtrations(products, fe.FilterNode("gt", {"field": "is_sharpe", "value": 0.0}),
                                            "allocation", reduction_fn=lambda chosen: handed.append(chosen) or tags)
    assert result["passing_ids"] == ["a", "b"] and result["passing_ids"] is result["selected_ids"]
    assert result["selected_products"] is handed[0] and result["reduction_result"] is tags
    assert result["selected_products"]["a"] is obj and result["selected_products"]["b"] is products["b"]
