"""Correct filtration operators written differently from the built-ins: the same answers (ties at a cutoff all
kept, eq/neq within 1e-12, booleans equal only booleans, between inclusive, in_ any-of on lists) and the same
FilterValidationError where a built-in raises one."""
import bisect
import collections
import functools
import heapq
import itertools
import math
import operator

import numpy as np
import pandas as pd

from brindlecap.functions.filtrations_evaluation import FilterValidationError
from operator_corpus import Entry

TOL = 1e-12


def _need(name, params, *keys):
    if "field" not in params:
        raise FilterValidationError(f"Operator '{name}' requires a 'field' parameter")
    for key in keys:
        if key not in params:
            raise FilterValidationError(f"Operator '{name}' requires a '{key}' parameter")


def _floats(pairs, *extra):
    """The values (and extra scalars) as a float64 array when that loses nothing, else None."""
    items = [v for _, v in pairs] + list(extra)
    if all(type(v) in (float, bool) or (type(v) is int and abs(v) <= 2 ** 53) for v in items):
        return np.array(items[:len(pairs)], dtype=float)
    return None


def _same(actual, target):
    if isinstance(actual, bool):
        return isinstance(target, bool) and actual == target
    if isinstance(actual, (int, float)):
        a = float(actual)
        if a != a:
            return False
        t = float(target)
        return a == t or abs(a - t) < TOL
    if isinstance(actual, str):
        return isinstance(target, str) and actual == target
    return False


def _differs(actual, target):
    if isinstance(actual, bool):
        return isinstance(target, bool) and actual != target
    if isinstance(actual, (int, float)):
        a = float(actual)
        if a != a:
            return False
        t = float(target)
        return a != t and abs(a - t) >= TOL
    if isinstance(actual, str):
        return actual != target
    return False


# --- gt, gte, lt, lte ---------------------------------------------------------------------------------------------

def gt_comprehension(prepared, params):
    _need("gt", params, "value")
    target = params["value"]
    return {sid for sid, v in prepared.values if v > target}


def gt_numpy(prepared, params):
    _need("gt", params, "value")
    arr = _floats(prepared.values, params["value"])
    if arr is None:
        return [sid for sid, v in prepared.values if v > params["value"]]
    ids = np.array([sid for sid, _ in prepared.values], dtype=object)
    return set(ids[arr > float(params["value"])])


def gte_pandas(prepared, params):
    _need("gte", params, "value")
    arr = _floats(prepared.values, params["value"])
    if arr is None:
        return (sid for sid, v in prepared.values if v >= params["value"])
    s = pd.Series(arr, index=[sid for sid, _ in prepared.values], dtype=float)
    return frozenset(s.index[s.ge(float(params["value"]))])


def gte_filter_generator(prepared, params):
    _need("gte", params, "value")
    bound = functools.partial(operator.le, params["value"])
    return (sid for sid, v in filter(lambda pair: bound(pair[1]), prepared.values))


def lt_flatnonzero(prepared, params):
    _need("lt", params, "value")
    arr = _floats(prepared.values, params["value"])
    if arr is None:
        return {sid for sid, v in prepared.values if v < params["value"]}
    return [prepared.values[i][0] for i in np.flatnonzero(arr < float(params["value"]))]


def lt_filterfalse(prepared, params):
    _need("lt", params, "value")
    target = params["value"]
    return {sid for sid, _ in itertools.filterfalse(lambda p: not p[1] < target, prepared.values)}


def lte_dict_keys(prepared, params):
    _need("lte", params, "value")
    target = params["value"]
    return dict.fromkeys(sid for sid, v in prepared.values if v <= target).keys()


def lte_sorted_bisect(prepared, params):
    _need("lte", params, "value")
    if params["value"] != params["value"]:  # bisect would place a NaN bound past everything
        return frozenset()
    ranked = sorted(prepared.values, key=operator.itemgetter(1))
    cut = bisect.bisect_right([v for _, v in ranked], params["value"])
    return frozenset(sid for sid, _ in ranked[:cut])


# --- eq, neq ------------------------------------------------------------------------------------------------------

def eq_scalar(prepared, params):
    _need("eq", params, "value")
    return {sid for sid, v in prepared.values if _same(v, params["value"])}


def eq_numpy(prepared, params):
    _need("eq", params, "value")
    target = params["value"]
    numeric = [(sid, v) for sid, v in prepared.values if type(v) in (int, float) and v == v]  # NaN never matches
    keep = [sid for sid, v in prepared.values if type(v) not in (int, float) and _same(v, target)]
    if numeric:
        arr = np.array([v for _, v in numeric], dtype=float)
        t = float(target)
        with np.errstate(invalid="ignore", over="ignore"):
            hit = (arr == t) | (np.abs(arr - t) < TOL)
        keep += [numeric[i][0] for i in np.flatnonzero(hit)]
    return keep


def eq_grouped(prepared, params):
    _need("eq", params, "value")
    by_kind = collections.defaultdict(list)
    for sid, v in prepared.values:
        by_kind[type(v)].append((sid, v))
    return set().union(*({sid for sid, v in pairs if _same(v, params["value"])} for pairs in by_kind.values()))


def neq_scalar(prepared, params):
    _need("neq", params, "value")
    return [sid for sid, v in prepared.values if _differs(v, params["value"])]


def neq_numpy(prepared, params):
    _need("neq", params, "value")
    target = params["value"]
    out = {sid for sid, v in prepared.values if type(v) not in (int, float) and _differs(v, target)}
    numeric = [(sid, v) for sid, v in prepared.values if type(v) in (int, float) and v == v]
    if numeric:
        arr = np.array([v for _, v in numeric], dtype=float)
        t = float(target)
        with np.errstate(invalid="ignore", over="ignore"):
            hit = (arr != t) & (np.abs(arr - t) >= TOL)
        out.update(numeric[i][0] for i in np.flatnonzero(hit))
    return out


# --- between ------------------------------------------------------------------------------------------------------

def _bounds(params):
    if "field" not in params:
        raise FilterValidationError("Operator 'between' requires a 'field' parameter")
    if "low" not in params or "high" not in params:
        raise FilterValidationError("Operator 'between' requires 'low' and 'high' parameters")
    return params["low"], params["high"]


def between_chained(prepared, params):
    low, high = _bounds(params)
    return {sid for sid, v in prepared.values if low <= v <= high}


def between_numpy(prepared, params):
    low, high = _bounds(params)
    arr = _floats(prepared.values, low, high)
    if arr is None:
        return between_chained(prepared, params)
    ids = np.array([sid for sid, _ in prepared.values], dtype=object)
    return frozenset(ids[(arr >= float(low)) & (arr <= float(high))])


def between_bisect(prepared, params):
    low, high = _bounds(params)
    if low != low or high != high:
        return []
    ranked = sorted(prepared.values, key=operator.itemgetter(1))
    keys = [v for _, v in ranked]
    return [sid for sid, _ in ranked[bisect.bisect_left(keys, low):bisect.bisect_right(keys, high)]]


# --- in_ ----------------------------------------------------------------------------------------------------------

def _targets(params):
    if "field" not in params:
        raise FilterValidationError("Operator 'in_' requires a 'field' parameter")
    values = params.get("values", [])
    if not isinstance(values, list):
        raise FilterValidationError(f"Operator 'in_' requires 'values' to be a list, got {type(values).__name__}")
    return values


def in_disjoint(prepared, params):
    wanted = set(_targets(params))
    return {sid for sid, v in prepared.values
            if (not wanted.isdisjoint(v) if isinstance(v, (list, tuple, set)) else v in wanted)}


def in_any_generator(prepared, params):
    wanted = frozenset(_targets(params))

    def hit(v):
        if isinstance(v, (list, tuple, set)):
            return any(item in wanted for item in v)
        return v in wanted
    return (sid for sid, v in prepared.values if hit(v))


def in_intersection(prepared, params):
    wanted = set(_targets(params))
    keep = []
    for sid, v in prepared.values:
        found = wanted & set(v) if isinstance(v, (list, tuple, set)) else wanted & {v}
        if found:
            keep.append(sid)
    return frozenset(keep)


# --- top_n, bottom_n, top_pct, bottom_pct -------------------------------------------------------------------------

def _positions(name, prepared, params):
    """How many positions a rank operator selects out of the prepared values (pct replaces n)."""
    if "field" not in params:
        raise FilterValidationError(f"Operator '{name}' requires a 'field' parameter")
    count = len(prepared.values)
    if "pct" in params:
        pct = params["pct"]
        if pct != pct:
            raise FilterValidationError("pct must be in (0.0, 1.0], got nan")
        return max(1, math.ceil(count * pct))
    if "n" in params:
        n = params["n"]
        if n != n:
            raise FilterValidationError("Count must be >= 1, got nan")
        return 0 if n <= 0 else count if n >= count else int(n)
    wanted = "a 'pct'" if name.endswith("pct") else "an 'n'"
    raise FilterValidationError(f"Operator '{name}' requires {wanted} parameter")


def top_n_heapq(prepared, params):
    k = _positions("top_n", prepared, params)
    if not k or not prepared.values:
        return set()
    cutoff = heapq.nlargest(k, (v for _, v in prepared.values))[-1]
    return {sid for sid, v in prepared.values if v >= cutoff}


def top_n_partition(prepared, params):
    k = _positions("top_n", prepared, params)
    count = len(prepared.values)
    k = min(k, count)
    if not k:
        return []
    arr = _floats(prepared.values)
    if arr is None:
        cutoff = sorted((v for _, v in prepared.values), reverse=True)[k - 1]
        return [sid for sid, v in prepared.values if v >= cutoff]
    cutoff = np.partition(arr, count - k)[count - k]
    return [prepared.values[i][0] for i in np.flatnonzero(arr >= cutoff)]


def bottom_n_sorted(prepared, params):
    k = _positions("bottom_n", prepared, params)
    ranked = sorted(prepared.values, key=lambda p: (p[1], p[0]))
    k = min(k, len(ranked))
    if not k:
        return frozenset()
    cutoff = ranked[k - 1][1]
    return frozenset(sid for sid, v in ranked if v <= cutoff)


def bottom_n_pandas(prepared, params):
    k = _positions("bottom_n", prepared, params)
    arr = _floats(prepared.values)
    if not k or not prepared.values:
        return set()
    if arr is None:
        cutoff = heapq.nsmallest(k, (v for _, v in prepared.values))[-1]
        return {sid for sid, v in prepared.values if v <= cutoff}
    s = pd.Series(arr, index=[sid for sid, _ in prepared.values])
    return set(s.nsmallest(k, keep="all").index)


def top_pct_pandas(prepared, params):
    k = _positions("top_pct", prepared, params)
    arr = _floats(prepared.values)
    if not prepared.values:
        return set()
    if arr is None:
        cutoff = sorted((v for _, v in prepared.values), reverse=True)[min(k, len(prepared.values)) - 1]
        return {sid for sid, v in prepared.values if v >= cutoff}
    s = pd.Series(arr, index=[sid for sid, _ in prepared.values])
    return dict.fromkeys(s.nlargest(k, keep="all").index).keys()


def top_pct_sorted_desc(prepared, params):
    k = _positions("top_pct", prepared, params)
    ordered = sorted(prepared.values, key=lambda p: p[1], reverse=True)
    if not ordered:
        return []
    cutoff = ordered[min(k, len(ordered)) - 1][1]
    return [sid for sid, v in ordered if v >= cutoff]


def bottom_pct_heapq(prepared, params):
    k = _positions("bottom_pct", prepared, params)
    if not prepared.values:
        return set()
    cutoff = max(heapq.nsmallest(k, (v for _, v in prepared.values)))
    return (sid for sid, v in prepared.values if v <= cutoff)


def bottom_pct_argsort(prepared, params):
    k = _positions("bottom_pct", prepared, params)
    count = len(prepared.values)
    k = min(k, count)
    if not count:
        return frozenset()
    arr = _floats(prepared.values)
    if arr is None:
        return bottom_n_sorted(prepared, {"field": params["field"], "n": k})
    cutoff = arr[np.argsort(arr, kind="stable")[k - 1]]
    return frozenset(prepared.values[i][0] for i in np.flatnonzero(arr <= cutoff))


# --- and_, or_, not_, filtration ----------------------------------------------------------------------------------

def _some_children(name, children):
    if not children:
        raise FilterValidationError(f"Operator '{name}' requires at least one child")
    return children


def and_reduce(pool_keys, params, children=()):
    return functools.reduce(set.intersection, map(set, _some_children("and_", children)))


def and_counter(pool_keys, params, children=()):
    counts = collections.Counter(itertools.chain.from_iterable(_some_children("and_", children)))
    return [sid for sid, seen in counts.items() if seen == len(children)]


def or_chain(pool_keys, params, children=()):
    return set(itertools.chain.from_iterable(_some_children("or_", children)))


def or_dict_keys(pool_keys, params, children=()):
    merged = {}
    for child in _some_children("or_", children):
        merged.update(dict.fromkeys(child))
    return merged.keys()


def _single_child(children):
    if len(children) != 1:
        raise FilterValidationError(f"Operator 'not_' requires exactly one child, got {len(children)}")
    return children[0]


def not_difference(pool_keys, params, children=()):
    return set(pool_keys) - set(_single_child(children))


def not_generator(pool_keys, params, children=()):
    excluded = frozenset(_single_child(children))
    return (sid for sid in pool_keys if sid not in excluded)


def filtration_intersection(pool_keys, params, children=()):
    if children:
        return set(children[0]).intersection(*children[1:])
    if params.get("select_all"):
        return set(pool_keys)
    raise FilterValidationError("Operator 'filtration' requires children or select_all=True")


def filtration_frozenset(pool_keys, params, children=()):
    if not children and not params.get("select_all"):
        raise FilterValidationError("Operator 'filtration' requires children or select_all=True")
    sets = [frozenset(c) for c in children] or [frozenset(pool_keys)]
    return functools.reduce(frozenset.__and__, sets)


CORRECT = [
    Entry("gt", gt_comprehension, None, "set comprehension"),
    Entry("gt", gt_numpy, None, "numpy mask over an object array of ids; Python fallback for other values"),
    Entry("gte", gte_pandas, None, "pandas Series.ge; generator fallback"),
    Entry("gte", gte_filter_generator, None, "filter with a partial of operator.le, returns a generator"),
    Entry("lt", lt_flatnonzero, None, "numpy flatnonzero indices into the pairs, returns a list"),
    Entry("lt", lt_filterfalse, None, "itertools.filterfalse"),
    Entry("lte", lte_dict_keys, None, "returns dict keys"),
    Entry("lte", lte_sorted_bisect, None, "sorted values and bisect_right, returns a frozenset"),
    Entry("eq", eq_scalar, None, "scalar equality rule per pair"),
    Entry("eq", eq_numpy, None, "numpy tolerance test for the numbers, the scalar rule for the rest"),
    Entry("eq", eq_grouped, None, "pairs grouped by value type, union of per-group sets"),
    Entry("neq", neq_scalar, None, "scalar inequality rule per pair, returns a list"),
    Entry("neq", neq_numpy, None, "numpy tolerance test for the numbers, the scalar rule for the rest"),
    Entry("between", between_chained, None, "chained comparison"),
    Entry("between", between_numpy, None, "numpy masks, frozenset of ids"),
    Entry("between", between_bisect, None, "sorted values, bisect_left/bisect_right slice"),
    Entry("in_", in_disjoint, None, "set.isdisjoint for collections, membership for scalars"),
    Entry("in_", in_any_generator, None, "any() over the collection, returns a generator"),
    Entry("in_", in_intersection, None, "set intersection with a singleton for scalars, frozenset"),
    Entry("top_n", top_n_heapq, None, "heapq.nlargest for the cutoff, ties kept"),
    Entry("top_n", top_n_partition, None, "numpy partition for the cutoff"),
    Entry("bottom_n", bottom_n_sorted, None, "sorted by (value, id), cutoff value"),
    Entry("bottom_n", bottom_n_pandas, None, "pandas nsmallest(keep='all')"),
    Entry("top_pct", top_pct_pandas, None, "pandas nlargest(keep='all'), dict keys"),
    Entry("top_pct", top_pct_sorted_desc, None, "sorted descending, cutoff value, list"),
    Entry("bottom_pct", bottom_pct_heapq, None, "max of heapq.nsmallest as cutoff, generator"),
    Entry("bottom_pct", bottom_pct_argsort, None, "numpy stable argsort for the cutoff"),
    Entry("and_", and_reduce, None, "functools.reduce of set.intersection"),
    Entry("and_", and_counter, None, "Counter of memberships equal to the number of children"),
    Entry("or_", or_chain, None, "itertools.chain into a set"),
    Entry("or_", or_dict_keys, None, "dict.fromkeys merge, dict keys"),
    Entry("not_", not_difference, None, "set difference"),
    Entry("not_", not_generator, None, "generator over the pool keys"),
    Entry("filtration", filtration_intersection, None, "intersection of children, else all keys with select_all"),
    Entry("filtration", filtration_frozenset, None, "frozenset reduce, pool keys as the only set for select_all"),
]
