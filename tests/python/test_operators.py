"""Python callables as operators, and the built-ins as Python callables."""
import sys

import pytest

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.functions.filtrations import boolean, comparison, wrapper
from brindlecap.functions.filtrations.builtin_runtime_targets import resolve_builtin_filtration_target
from brindlecap.functions.registry_and_store.store_builder import FunctionStore
from conftest import store_of


def test_every_calling_form_reaches_python_callables(pool):
    calls = {}

    def gt(prepared, params):
        calls["gt"] = (prepared, params)
        return {sid for sid, v in prepared.values if v > params["value"]}

    def and_(pool_keys, params, children_results):
        calls["and_"] = (pool_keys, params, children_results)
        return set.intersection(*children_results)

    def filtration(pool_keys, params):
        calls["filtration"] = (pool_keys, params)
        return set(pool_keys) if params.get("select_all") else set()

    leaf = fe.FilterNode("gt", {"field": "is_sharpe", "value": 0.0})
    tree = fe.FilterNode("and_", {}, [leaf, fe.FilterNode("filtration", {"select_all": True})])
    result = fe.resolve_filtrations(pool, tree, store_of(gt=gt, and_=and_, filtration=filtration))

    expected = sorted(sid for sid, s in pool.items() if s.metadata["is_sharpe"] > 0.0)
    assert result.passing_ids == expected and result.total_pool_size == len(pool)
    prepared, params = calls["gt"]
    assert isinstance(prepared, fe.PreparedField) and params is leaf.params
    assert prepared.values == [(sid, s.metadata["is_sharpe"]) for sid, s in pool.items()]
    assert prepared.pool_keys == set(pool) and (prepared.field_type, prepared.nan_count) == ("numeric", 0)
    keys, params, children = calls["and_"]
    assert keys == set(pool) and params is tree.params and children == [set(expected), set(pool)]
    assert calls["filtration"][0] == set(pool)


def test_operator_errors_propagate_as_themselves(pool):
    raised = type("Oops", (Exception,), {})("no luck")

    def failing(keys, params):
        raise raised

    with pytest.raises(type(raised)) as caught:
        fe.resolve_filtrations(pool, fe.FilterNode("filtration"), store_of(filtration=failing))
    assert caught.value is raised


def test_identity_of_what_the_caller_passed(pool):
    ids = {"synth_0001", "synth_0002"}
    assert fe._postprocess_result(ids, set(pool)) is ids
    assert fe._postprocess_result(["synth_0001"], set(pool)) == {"synth_0001"}

    seen = []
    combinator = lambda keys, params, children: seen.append((params, children)) or set(keys)  # noqa: E731
    params, children = {"note": 1}, [{"synth_0001"}]
    fe._prepare_and_dispatch(combinator, pool, params, [object()], children, operator_name="and_")
    assert seen[-1][0] is params and seen[-1][1] is children

    params = {"children_results": [{"synth_0002"}], "note": 1}
    assert fe._call_operator("and_", combinator, pool, "boolean", params) == set(pool)
    assert params == {"note": 1} and seen[-1][0] is params and seen[-1][1] == [{"synth_0002"}]


def test_builtins_are_python_callables(pool):
    params = {"field": "is_sharpe", "value": 0.25}
    prepared = fe._preprocess_field(pool, params, "gt")
    assert comparison._builtin_gt(prepared, params) == {sid for sid, v in prepared.values if v > 0.25}
    a, b = {"synth_0001", "synth_0002"}, {"synth_0002", "synth_0003"}
    assert boolean._builtin_and_(set(pool), {}, [a, b]) == a & b
    assert boolean._builtin_not_(set(pool), {}, [a]) == set(pool) - a
    assert wrapper._builtin_filtration(set(pool), {"select_all": True}) == set(pool)
    # A built-in handed back to a store stays the C++ operator.
    store = store_of(gt=comparison._builtin_gt)
    assert fe.resolve_filtrations(pool, fe.FilterNode("gt", params), store).signal_count == len(
        comparison._builtin_gt(prepared, params))


def test_module_attributes_resolve_through_python_imports(pool, tmp_path, monkeypatch):
    (tmp_path / "desk_ops.py").write_text("def first_three(pool_keys, params):\n    return sorted(pool_keys)[:3]\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    store = FunctionStore()
    store.register("filtration", module_path="desk_ops", class_name="first_three")
    assert fe.resolve_filtrations(pool, fe.FilterNode("filtration"), store).passing_ids == sorted(pool)[:3]
    assert resolve_builtin_filtration_target("desk_ops", "first_three") is sys.modules["desk_ops"].first_three
