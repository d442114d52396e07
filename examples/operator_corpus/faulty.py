"""Faulty filtration operators as researchers write them, each with the built-in it is judged as, its fault
class and a witness of the fault (operator_corpus.Differs, Direct, Mutates, Racy, Quadratic)."""
import collections
import functools
import heapq
import itertools
import math
import operator
import random
import unicodedata

import numpy as np
import pandas as pd

from brindlecap.functions.filtrations_evaluation import FilterValidationError
from operator_corpus import Direct, Entry, Mutates, Quadratic, Racy, differs

NAN = float("nan")


def rows(field, *values):
    """Signals s0, s1, ... holding one value each of `field`."""
    return {f"s{i}": {field: v} for i, v in enumerate(values)}


def xs(*values):
    return rows("x", *values)


def tags(*lists):
    return rows("tags", *lists)


def cats(*values):
    return rows("c", *values)


def ids(count):
    return {f"s{i}": {} for i in range(count)}


def _count(params, m):
    pct = params.get("pct")
    if pct is not None:
        return max(1, math.ceil(m * pct))
    n = params["n"]
    return m if n >= m else int(n)


def _equal(v, t):
    if isinstance(v, bool) or isinstance(t, bool):
        return isinstance(v, bool) and isinstance(t, bool) and v == t
    if isinstance(v, (int, float)) and not isinstance(t, str):
        return abs(v - t) < 1e-12
    return v == t


def _member(v, wanted):
    return bool(set(v) & set(wanted)) if isinstance(v, list) else v in wanted


# --- membership ---------------------------------------------------------------------------------------------------

def in_all_of(prepared, params):
    wanted = params.get("values", [])
    keep = set()
    for sid, v in prepared.values:
        if isinstance(v, (list, tuple, set)):
            if all(t in v for t in wanted):
                keep.add(sid)
        elif v in wanted:
            keep.add(sid)
    return keep


def in_first_target(prepared, params):
    target = params["values"][0]
    return [sid for sid, v in prepared.values if (target in v if isinstance(v, list) else v == target)]


def in_substring_joined(prepared, params):
    keep = set()
    for sid, v in prepared.values:
        text = ",".join(v) if isinstance(v, list) else str(v)
        if any(t in text for t in params.get("values", [])):
            keep.add(sid)
    return keep


def in_casefold(prepared, params):
    wanted = {str(t).casefold() for t in params.get("values", [])}

    def hit(v):
        items = v if isinstance(v, (list, tuple, set)) else [v]
        return any(str(x).casefold() in wanted for x in items)
    return {sid for sid, v in prepared.values if hit(v)}


def in_scalar_substring(prepared, params):
    wanted = params.get("values", [])
    out = []
    for sid, v in prepared.values:
        if isinstance(v, list):
            ok = bool(set(v) & set(wanted))
        else:
            ok = any(t in v for t in wanted)
        if ok:
            out.append(sid)
    return out


def in_strips_whitespace(prepared, params):
    wanted = {t.strip() for t in params.get("values", [])}
    s = pd.Series(dict(prepared.values), dtype=object)
    hit = s.map(lambda v: any(str(x).strip() in wanted for x in (v if isinstance(v, list) else [v])))
    return set(s.index[hit.astype(bool)])


def in_first_element(prepared, params):
    wanted = set(params.get("values", []))
    return {sid for sid, v in prepared.values if ((v[0] if v else None) if isinstance(v, list) else v) in wanted}


def in_str_contains(prepared, params):
    s = pd.Series([v for _, v in prepared.values], index=[sid for sid, _ in prepared.values], dtype=object)
    pattern = "|".join(params.get("values", []))
    return set(s.index[s.astype(str).str.contains(pattern, regex=True)])


def in_empty_selects_all(prepared, params):
    wanted = set(params.get("values") or [])
    if not wanted:
        return [sid for sid, _ in prepared.values]
    return [sid for sid, v in prepared.values if _member(v, wanted)]


def in_exact_set(prepared, params):
    wanted = frozenset(params.get("values", []))
    return (sid for sid, v in prepared.values if (frozenset(v) == wanted if isinstance(v, list) else v in wanted))


def in_lowercased_targets(prepared, params):
    wanted = [t.lower() for t in params.get("values", [])]
    return {sid for sid, v in prepared.values
            if (any(x in wanted for x in v) if isinstance(v, list) else v in wanted)}


def in_unicode_normalised(prepared, params):
    def norm(s):
        return unicodedata.normalize("NFKC", s) if isinstance(s, str) else s
    wanted = {norm(t) for t in params.get("values", [])}
    return {sid for sid, v in prepared.values
            if (any(norm(x) in wanted for x in v) if isinstance(v, list) else norm(v) in wanted)}


# --- text values of eq / neq --------------------------------------------------------------------------------------

def eq_casefold(prepared, params):
    t = params["value"]
    if isinstance(t, str):
        return {sid for sid, v in prepared.values if isinstance(v, str) and v.casefold() == t.casefold()}
    return {sid for sid, v in prepared.values if _equal(v, t)}


def neq_strips(prepared, params):
    t = params["value"]
    if isinstance(t, str):
        return {sid for sid, v in prepared.values if isinstance(v, str) and v.strip() != t.strip()}
    return {sid for sid, v in prepared.values if isinstance(v, (int, float)) and v == v and not _equal(v, t)}


def eq_substring(prepared, params):
    t = params["value"]
    if isinstance(t, str):
        return [sid for sid, v in prepared.values if isinstance(v, str) and t in v]
    return [sid for sid, v in prepared.values if _equal(v, t)]


def eq_numeric_strings(prepared, params):
    t = params["value"]

    def same(v):
        try:
            return abs(float(v) - float(t)) < 1e-12 and not isinstance(v, bool)
        except (TypeError, ValueError):
            return v == t
    return {sid for sid, v in prepared.values if same(v)}


# --- ties at the cutoff -------------------------------------------------------------------------------------------

def top_n_heapq_exact(prepared, params):
    k = _count(params, len(prepared.values))
    return {sid for sid, _ in heapq.nlargest(k, prepared.values, key=operator.itemgetter(1))}


def bottom_n_sorted_slice(prepared, params):
    ranked = sorted(prepared.values, key=lambda p: p[1])
    return [sid for sid, _ in ranked[:_count(params, len(ranked))]]


def bottom_n_nsmallest(prepared, params):
    k = _count(params, len(prepared.values))
    return frozenset(sid for sid, _ in heapq.nsmallest(k, prepared.values, key=operator.itemgetter(1)))


def bottom_pct_argsort_slice(prepared, params):
    ids_ = np.array([sid for sid, _ in prepared.values], dtype=object)
    vals = np.array([v for _, v in prepared.values], dtype=float)
    return set(ids_[np.argsort(vals, kind="stable")[:_count(params, len(vals))]])


def top_pct_nlargest_first(prepared, params):
    s = pd.Series(dict(prepared.values), dtype=float)
    return set(s.nlargest(_count(params, len(s))).index)


def top_pct_rank_first(prepared, params):
    s = pd.Series(dict(prepared.values), dtype=float)
    return set(s.index[s.rank(method="first", ascending=False) <= _count(params, len(s))])


def top_n_dense_rank(prepared, params):
    s = pd.Series(dict(prepared.values), dtype=float)
    return set(s.index[s.rank(method="dense", ascending=False) <= _count(params, len(s))])


def top_n_rank_max(prepared, params):
    s = pd.Series(dict(prepared.values), dtype=float)
    return set(s.index[s.rank(method="max", ascending=False) <= _count(params, len(s))])


def bottom_pct_loop_break(prepared, params):
    ordered = sorted(prepared.values, key=lambda p: (p[1], p[0]))
    k = _count(params, len(ordered))
    chosen = []
    for sid, _ in ordered:
        if len(chosen) == k:
            break
        chosen.append(sid)
    return chosen


# --- how many positions -------------------------------------------------------------------------------------------

def _with_ties(prepared, k, top=True):
    vals = sorted((v for _, v in prepared.values), reverse=top)
    if not vals or k < 1:
        return set()
    cut = vals[min(k, len(vals)) - 1]
    return {sid for sid, v in prepared.values if (v >= cut if top else v <= cut)}


def top_pct_round_half_up(prepared, params):
    return _with_ties(prepared, int(len(prepared.values) * params["pct"] + 0.5))


def bottom_pct_floor(prepared, params):
    return _with_ties(prepared, int(len(prepared.values) * params["pct"]), top=False)


def top_pct_round(prepared, params):
    return _with_ties(prepared, round(len(prepared.values) * params["pct"]))


def top_pct_prefers_n(prepared, params):
    k = params.get("n") or max(1, math.ceil(len(prepared.values) * params["pct"]))
    return _with_ties(prepared, int(k))


def top_n_ignores_pct(prepared, params):
    return _with_ties(prepared, int(min(params["n"], len(prepared.values))))


def bottom_pct_share_of_pool(prepared, params):
    return _with_ties(prepared, math.ceil(len(prepared.pool_keys) * params["pct"]), top=False)


def top_pct_share_with_nan(prepared, params):
    total = len(prepared.values) + prepared.nan_count
    return _with_ties(prepared, max(1, math.ceil(total * params["pct"])))


def bottom_n_off_by_one(prepared, params):
    vals = sorted(v for _, v in prepared.values)
    if not vals:
        return set()
    cut = vals[min(_count(params, len(vals)), len(vals) - 1)]
    return {sid for sid, v in prepared.values if v <= cut}


def top_n_no_clamp(prepared, params):
    vals = sorted((v for _, v in prepared.values), reverse=True)
    cut = vals[int(params.get("n", 1)) - 1] if "pct" not in params else vals[_count(params, len(vals)) - 1]
    return {sid for sid, v in prepared.values if v >= cut}


def top_pct_quantile(prepared, params):
    vals = np.array([v for _, v in prepared.values], dtype=float)
    if vals.size == 0:
        return set()
    q = np.quantile(vals, 1.0 - params["pct"])
    return {sid for sid, v in prepared.values if v >= q}


def bottom_n_slice_n(prepared, params):
    ranked = sorted(prepared.values, key=lambda p: p[1])
    k = max(1, math.ceil(len(ranked) * params["pct"])) if "pct" in params else params["n"]
    if not ranked:
        return set()
    cut = ranked[min(k, len(ranked)) - 1][1]
    return {sid for sid, v in ranked if v <= cut}


def top_pct_percent_units(prepared, params):
    return _with_ties(prepared, max(1, math.ceil(len(prepared.values) * params["pct"] / 100)))


# --- precision ----------------------------------------------------------------------------------------------------

def gt_float32(prepared, params):
    ids_ = [sid for sid, _ in prepared.values]
    vals = np.array([v for _, v in prepared.values], dtype=np.float32)
    return {ids_[i] for i in np.flatnonzero(vals > np.float32(params["value"]))}


def lt_float32_values(prepared, params):
    t = params["value"]
    return {sid for sid, v in prepared.values if np.float32(v) < t}


def gte_float32_target(prepared, params):
    t = np.float32(params["value"])
    return {sid for sid, v in prepared.values if v >= t}


def eq_np_isclose(prepared, params):
    t = params["value"]
    out = set()
    for sid, v in prepared.values:
        if isinstance(v, str) or isinstance(t, str):
            same = v == t
        elif isinstance(v, bool) or isinstance(t, bool):
            same = isinstance(v, bool) and v == t
        else:
            same = bool(np.isclose(v, t))
        if same:
            out.add(sid)
    return out


def eq_abs_1e9(prepared, params):
    t = params["value"]
    if isinstance(t, (str, bool)):
        return {sid for sid, v in prepared.values if _equal(v, t)}
    s = pd.Series({sid: v for sid, v in prepared.values if not isinstance(v, (bool, str))}, dtype=float)
    return set(s.index[s.sub(t).abs() < 1e-9])


def eq_round6(prepared, params):
    t = params["value"]
    if isinstance(t, (str, bool)):
        return {sid for sid, v in prepared.values if _equal(v, t)}
    return {sid for sid, v in prepared.values
            if isinstance(v, (int, float)) and not isinstance(v, bool) and round(v, 6) == round(t, 6)}


def neq_isclose_relative(prepared, params):
    t = params["value"]
    if isinstance(t, (str, bool)):
        return {sid for sid, v in prepared.values if type(v) is type(t) and v != t}
    return {sid for sid, v in prepared.values
            if isinstance(v, (int, float)) and not isinstance(v, bool) and v == v
            and not math.isclose(v, t, rel_tol=1e-9, abs_tol=1e-12)}


def eq_fixed_12(prepared, params):
    t = params["value"]
    if isinstance(t, (str, bool)):
        return {sid for sid, v in prepared.values if _equal(v, t)}
    key = f"{t:.12f}"
    return {sid for sid, v in prepared.values
            if isinstance(v, (int, float)) and not isinstance(v, bool) and f"{v:.12f}" == key}


def gt_int_target(prepared, params):
    t = int(params["value"])
    return {sid for sid, v in prepared.values if v > t}


def between_int_bounds(prepared, params):
    low, high = int(params["low"]), int(params["high"])
    return {sid for sid, v in prepared.values if low <= v <= high}


def lte_round_target(prepared, params):
    t = round(params["value"])
    return [sid for sid, v in prepared.values if v <= t]


def eq_relative_tolerance(prepared, params):
    t = params["value"]
    if isinstance(t, (str, bool)):
        return {sid for sid, v in prepared.values if _equal(v, t)}
    return {sid for sid, v in prepared.values
            if isinstance(v, (int, float)) and not isinstance(v, bool) and abs(v - t) <= 1e-12 * max(abs(v), abs(t))}


def neq_exact(prepared, params):
    t = params["value"]
    return {sid for sid, v in prepared.values if type(v) is not bool and v == v and v != t}


def eq_inclusive_tolerance(prepared, params):
    t = params["value"]
    if isinstance(t, (str, bool)):
        return {sid for sid, v in prepared.values if _equal(v, t)}
    return {sid for sid, v in prepared.values if isinstance(v, (int, float)) and not isinstance(v, bool)
            and abs(v - t) <= 1e-12}


def top_n_float32(prepared, params):
    ids_ = [sid for sid, _ in prepared.values]
    vals = np.array([v for _, v in prepared.values], dtype=np.float32)
    k = min(_count(params, len(vals)), len(vals))
    if not k:
        return set()
    cut = np.sort(vals)[::-1][k - 1]
    return {ids_[i] for i in np.flatnonzero(vals >= cut)}


# --- combinators --------------------------------------------------------------------------------------------------

def and_first_two(pool_keys, params, children):
    first, *rest = children
    return first & rest[0] if rest else set(first)


def or_first_two(pool_keys, params, children):
    return functools.reduce(set.union, children[:2])


def and_count_equals_two(pool_keys, params, children):
    counts = collections.Counter(sid for child in children for sid in child)
    return {sid for sid, seen in counts.items() if seen == 2}


def and_no_children_all(pool_keys, params, children=()):
    return set(pool_keys).intersection(*children)


def or_no_children_empty(pool_keys, params, children=()):
    return set().union(*children)


def not_ignores_extra(pool_keys, params, children):
    return set(pool_keys) - children[0]


def not_nor(pool_keys, params, children=()):
    return set(pool_keys) - set().union(*children)


def filtration_union(pool_keys, params, children=()):
    if children:
        return set().union(*children)
    if params.get("select_all"):
        return set(pool_keys)
    raise FilterValidationError("Operator 'filtration' requires children or select_all=True")


def filtration_select_all_first(pool_keys, params, children=()):
    if params.get("select_all"):
        return set(pool_keys)
    if not children:
        raise FilterValidationError("Operator 'filtration' requires children or select_all=True")
    return set.intersection(*map(set, children))


def filtration_no_children_all(pool_keys, params, children=()):
    if not children:
        return set(pool_keys)
    return set.intersection(*map(set, children))


def filtration_select_all_is_true(pool_keys, params, children=()):
    if children:
        return set.intersection(*map(set, children))
    if params.get("select_all") is True:
        return set(pool_keys)
    raise FilterValidationError("Operator 'filtration' requires children or select_all=True")


def or_xor(pool_keys, params, children):
    return functools.reduce(operator.xor, children)


def and_skips_empty_children(pool_keys, params, children):
    constraining = [set(c) for c in children if c]
    return set.intersection(*constraining) if constraining else set()


# --- in-place changes ---------------------------------------------------------------------------------------------

def gt_coerces_value(prepared, params):
    params["value"] = float(params["value"])
    return {sid for sid, v in prepared.values if v > params["value"]}


def in_sorts_values(prepared, params):
    wanted = params.setdefault("values", [])
    wanted.sort()
    return {sid for sid, v in prepared.values if _member(v, wanted)}


def in_dedupes_values(prepared, params):
    params["values"][:] = dict.fromkeys(params["values"])
    return {sid for sid, v in prepared.values if _member(v, params["values"])}


def top_pct_writes_n(prepared, params):
    params["n"] = max(1, math.ceil(len(prepared.values) * params["pct"]))
    return _with_ties(prepared, params["n"])


def bottom_n_pops_pct(prepared, params):
    pct = params.pop("pct", None)
    k = max(1, math.ceil(len(prepared.values) * pct)) if pct is not None else _count(params, len(prepared.values))
    return _with_ties(prepared, k, top=False)


def eq_strips_target(prepared, params):
    if isinstance(params["value"], str):
        params["value"] = params["value"].strip()
    return {sid for sid, v in prepared.values if _equal(v, params["value"])}


def and_intersects_first_child(pool_keys, params, children):
    acc = children[0]
    for child in children[1:]:
        acc &= child
    return acc


def or_updates_first_child(pool_keys, params, children):
    children[0].update(*children[1:])
    return children[0]


def not_consumes_pool_keys(pool_keys, params, children):
    if len(children) != 1:
        raise FilterValidationError(f"Operator 'not_' requires exactly one child, got {len(children)}")
    pool_keys -= children[0]
    return pool_keys


def filtration_intersection_update(pool_keys, params, children=()):
    if not children:
        if params.get("select_all"):
            return set(pool_keys)
        raise FilterValidationError("Operator 'filtration' requires children or select_all=True")
    children[0].intersection_update(*children[1:])
    return children[0]


# --- module-level state -------------------------------------------------------------------------------------------

_hits = []


def gt_global_scratch(prepared, params):
    _hits.clear()
    t = params["value"]
    for sid, v in prepared.values:
        if v > t:
            _hits.append(sid)
    return set(_hits)


_by_id = {}


def lt_shared_lookup(prepared, params):
    _by_id.clear()
    _by_id.update(prepared.values)
    t = params["value"]
    return [sid for sid in list(_by_id) if _by_id[sid] < t]


_wanted = set()


def in_global_targets(prepared, params):
    _wanted.clear()
    _wanted.update(params.get("values", []))
    return {sid for sid, v in prepared.values if (not _wanted.isdisjoint(v) if isinstance(v, list) else v in _wanted)}


_order = []


def bottom_pct_shared_order(prepared, params):
    _order.clear()
    _order.extend(pair for pair in sorted(prepared.values, key=lambda p: p[1]))
    if not _order:
        return set()
    cut = _order[min(_count(params, len(_order)), len(_order)) - 1][1]
    return {sid for sid, v in _order if v <= cut}


_cutoffs = {}


def top_n_cache_by_size(prepared, params):
    m = len(prepared.values)
    key = (prepared.field_name, m, params.get("n"), params.get("pct"))
    if key not in _cutoffs:
        ranked = sorted((v for _, v in prepared.values), reverse=True)
        _cutoffs[key] = ranked[min(_count(params, m), m) - 1] if m else None
    cut = _cutoffs[key]
    return {sid for sid, v in prepared.values if v >= cut}


_memo = {}


def eq_cache_by_ids(prepared, params):
    key = (frozenset(prepared.pool_keys), prepared.field_name, repr(params["value"]))
    if key not in _memo:
        _memo[key] = {sid for sid, v in prepared.values if _equal(v, params["value"])}
    return set(_memo[key])


# --- quadratic time -----------------------------------------------------------------------------------------------

def top_n_rank_by_counting(prepared, params):
    vals = prepared.values
    k = _count(params, len(vals))
    return {sid for sid, v in vals if sum(1 for _, w in vals if w > v) < k}


def gt_list_dedupe(prepared, params):
    out = []
    for sid, v in prepared.values:
        if v > params["value"] and sid not in out:
            out.append(sid)
    return out


def in_list_accumulate(prepared, params):
    hits = []
    for t in params.get("values", []):
        for sid, v in prepared.values:
            if (t in v if isinstance(v, list) else v == t) and sid not in hits:
                hits.append(sid)
    return hits


def and_list_members(pool_keys, params, children=()):
    if not children:
        raise FilterValidationError("Operator 'and_' requires at least one child")
    first, *rest = children
    others = [list(c) for c in rest]
    return [sid for sid in first if all(sid in o for o in others)]


def bottom_pct_selection(prepared, params):
    remaining = list(prepared.values)
    chosen = []
    k = _count(params, len(remaining))
    while remaining and len(chosen) < k:
        low = min(remaining, key=lambda p: p[1])
        remaining.remove(low)
        chosen.append(low)
    if not chosen:
        return set()
    cut = chosen[-1][1]
    return {sid for sid, v in prepared.values if v <= cut}


def not_list_complement(pool_keys, params, children=()):
    if len(children) != 1:
        raise FilterValidationError(f"Operator 'not_' requires exactly one child, got {len(children)}")
    excluded = list(children[0])
    return [sid for sid in pool_keys if sid not in excluded]


def or_list_union(pool_keys, params, children=()):
    if not children:
        raise FilterValidationError("Operator 'or_' requires at least one child")
    merged = []
    for child in children:
        for sid in child:
            if sid not in merged:
                merged.append(sid)
    return merged


# --- reversed between bounds --------------------------------------------------------------------------------------

def between_sorted_bounds(prepared, params):
    low, high = sorted((params["low"], params["high"]))
    return {sid for sid, v in prepared.values if low <= v <= high}


def between_pandas_minmax(prepared, params):
    s = pd.Series(dict(prepared.values), dtype=float)
    low, high = min(params["low"], params["high"]), max(params["low"], params["high"])
    return set(s.index[s.between(low, high)])


# --- missing values -----------------------------------------------------------------------------------------------

def eq_subtracts(prepared, params):
    t = params["value"]
    if isinstance(t, str):
        return {sid for sid, v in prepared.values if v == t}
    if isinstance(t, bool):
        return {sid for sid, v in prepared.values if v is t}
    return {sid for sid, v in prepared.values if not isinstance(v, bool) and abs(v - t) < 1e-12}


def in_set_of_value(prepared, params):
    wanted = set(params.get("values", []))
    return {sid for sid, v in prepared.values if (v in wanted if isinstance(v, str) else wanted.intersection(v))}


def eq_pandas_fillna(prepared, params):
    t = params["value"]
    s = pd.Series(dict(prepared.values), dtype=object)
    if isinstance(t, (str, bool)):
        return set(s.index[s.map(lambda v: _equal(v, t)).astype(bool)])
    num = pd.to_numeric(s, errors="coerce").fillna(0.0)
    return set(num.index[(num - float(t)).abs() < 1e-12])


def eq_truthiness(prepared, params):
    t = params["value"]
    if isinstance(t, bool):
        return {sid for sid, v in prepared.values if bool(v) == t}
    return {sid for sid, v in prepared.values if _equal(v, t)}


def neq_plain(prepared, params):
    t = params["value"]
    if isinstance(t, str):
        return {sid for sid, v in prepared.values if v != t}
    if isinstance(t, bool):
        return {sid for sid, v in prepared.values if isinstance(v, bool) and v != t}
    return {sid for sid, v in prepared.values
            if isinstance(v, (int, float)) and not isinstance(v, bool) and abs(v - t) >= 1e-12}


def neq_complement_of_eq(prepared, params):
    same = {sid for sid, v in prepared.values if _equal(v, params["value"])}
    return prepared.pool_keys - same


# --- value types --------------------------------------------------------------------------------------------------

def eq_bool_as_number(prepared, params):
    t = params["value"]
    if isinstance(t, str):
        return {sid for sid, v in prepared.values if v == t}
    return {sid for sid, v in prepared.values if not isinstance(v, str) and abs(v - t) < 1e-12}


def neq_bool_vs_int(prepared, params):
    t = params["value"]
    out = set()
    for sid, v in prepared.values:
        if isinstance(v, (bool, str)) or isinstance(t, (bool, str)):
            if v != t:
                out.add(sid)
        elif abs(v - t) >= 1e-12:
            out.add(sid)
    return out


def top_n_text_key(prepared, params):
    ranked = sorted(prepared.values, key=lambda p: str(p[1]), reverse=True)
    if not ranked:
        return set()
    cut = str(ranked[min(_count(params, len(ranked)), len(ranked)) - 1][1])
    return {sid for sid, v in prepared.values if str(v) >= cut}


def lt_signbit(prepared, params):
    ids_ = np.array([sid for sid, _ in prepared.values], dtype=object)
    vals = np.fromiter((v for _, v in prepared.values), dtype=float, count=len(prepared.values))
    return set(ids_[np.signbit(vals - params["value"])])


def lt_skips_non_float(prepared, params):
    t = params["value"]
    return {sid for sid, v in prepared.values if isinstance(v, float) and v < t}


# --- others -------------------------------------------------------------------------------------------------------

def gt_uses_gte(prepared, params):
    return {sid for sid, v in prepared.values if v >= params["value"]}


def between_exclusive(prepared, params):
    return {sid for sid, v in prepared.values if params["low"] < v < params["high"]}


def between_half_open(prepared, params):
    ids_ = np.array([sid for sid, _ in prepared.values], dtype=object)
    vals = np.array([v for _, v in prepared.values], dtype=float)
    return set(ids_[(vals >= params["low"]) & (vals < params["high"])])


def bottom_n_descending(prepared, params):
    return _with_ties(prepared, _count(params, len(prepared.values)), top=True)


def in_reads_value_key(prepared, params):
    wanted = params.get("value", [])
    return {sid for sid, v in prepared.values if _member(v, wanted if isinstance(wanted, list) else [wanted])}


def eq_first_match(prepared, params):
    return {next((sid for sid, v in prepared.values if _equal(v, params["value"])), None)} - {None}


def gt_magnitude(prepared, params):
    return {sid for sid, v in prepared.values if abs(v) > params["value"]}


# --- more of the everyday kind ------------------------------------------------------------------------------------

def in_lists_only(prepared, params):
    wanted = set(params.get("values", []))
    return {sid for sid, v in prepared.values if any(item in wanted for item in v)}


def top_n_random_ties(prepared, params):
    pairs = list(prepared.values)
    random.shuffle(pairs)
    ranked = sorted(pairs, key=lambda p: p[1], reverse=True)
    return {sid for sid, _ in ranked[:_count(params, len(ranked))]}


def bottom_pct_percentile_lower(prepared, params):
    vals = np.array([v for _, v in prepared.values], dtype=float)
    if not vals.size:
        return set()
    cut = np.percentile(vals, params["pct"] * 100, method="lower")
    return {sid for sid, v in prepared.values if v <= cut}


def top_pct_distinct_count(prepared, params):
    distinct = len({v for _, v in prepared.values})
    return _with_ties(prepared, max(1, math.ceil(distinct * params["pct"])))


def lte_complement_of_gt(prepared, params):
    above = {sid for sid, v in prepared.values if v > params["value"]}
    return prepared.pool_keys - above


def neq_not_eq(prepared, params):
    same = {sid for sid, v in prepared.values if _equal(v, params["value"])}
    return [sid for sid, _ in prepared.values if sid not in same]


def gte_returns_positions(prepared, params):
    vals = np.array([v for _, v in prepared.values], dtype=float)
    return set(np.flatnonzero(vals >= params["value"]).tolist())


def gt_capped_results(prepared, params):
    return list(itertools.islice((sid for sid, v in prepared.values if v > params["value"]), 10))


def _ranked_with_top_tie_rule(prepared, k, descending):
    ordered = sorted((v for _, v in prepared.values), reverse=descending)
    if not ordered:
        return set()
    cut = ordered[min(k, len(ordered)) - 1]
    return {sid for sid, v in prepared.values if v >= cut}


def bottom_n_tie_rule_of_top(prepared, params):
    return _ranked_with_top_tie_rule(prepared, _count(params, len(prepared.values)), descending=False)


FAULTY = [
    # membership on list fields and categories
    Entry("in_", in_all_of, "membership", "all targets required instead of any",
          differs((tags(["a"], ["c"]), {"field": "tags", "values": ["a", "b"]}))),
    Entry("in_", in_first_target, "membership", "only the first target is looked for",
          differs((tags(["b"], ["c"]), {"field": "tags", "values": ["a", "b"]}))),
    Entry("in_", in_substring_joined, "membership", "substring test on the joined list",
          differs((tags(["momentum"], ["value"]), {"field": "tags", "values": ["mom"]}))),
    Entry("in_", in_casefold, "membership", "case-folded matches",
          differs((tags(["Momentum"], ["value"]), {"field": "tags", "values": ["momentum"]}))),
    Entry("in_", in_scalar_substring, "membership", "a scalar category matches by substring",
          differs((cats("momentum", "value"), {"field": "c", "values": ["mom"]}))),
    Entry("in_", in_strips_whitespace, "membership", "whitespace stripped before matching (pandas)",
          differs((cats("mom ", "value"), {"field": "c", "values": ["mom"]}))),
    Entry("in_", in_first_element, "membership", "only the first element of a list value is tested",
          differs((tags(["b", "a"], ["c"]), {"field": "tags", "values": ["a"]}))),
    Entry("in_", in_str_contains, "membership", "regex search in the text of the list (pandas str.contains)",
          differs((tags(["momentum"], ["value"]), {"field": "tags", "values": ["mom"]}))),
    Entry("in_", in_empty_selects_all, "membership", "no targets selects every signal",
          differs((tags(["a"], ["b"]), {"field": "tags", "values": []}))),
    Entry("in_", in_exact_set, "membership", "the list must equal the targets as a set",
          differs((tags(["a", "b"], ["c"]), {"field": "tags", "values": ["a"]}))),
    Entry("in_", in_lowercased_targets, "membership", "targets lower-cased, values not",
          differs((tags(["Momentum"], ["value"]), {"field": "tags", "values": ["Momentum"]}))),
    Entry("in_", in_unicode_normalised, "membership", "NFKC-normalised matches",
          differs((tags(["cafe\u0301"], ["tea"]), {"field": "tags", "values": ["caf\u00e9"]}))),
    Entry("eq", eq_casefold, "membership", "eq on a category ignores case",
          differs((cats("Mom", "value"), {"field": "c", "value": "mom"}))),
    Entry("neq", neq_strips, "membership", "neq on a category ignores surrounding whitespace",
          differs((cats("mom ", "value"), {"field": "c", "value": "mom"}))),
    Entry("eq", eq_substring, "membership", "eq on a category matches substrings",
          differs((cats("momentum", "value"), {"field": "c", "value": "mom"}))),
    Entry("eq", eq_numeric_strings, "types", "categories compared as numbers when they parse",
          differs((cats("01", "x"), {"field": "c", "value": "1"}))),
    # ties at the cutoff
    Entry("top_n", top_n_heapq_exact, "rank_ties", "heapq.nlargest keeps exactly n, drops cutoff ties",
          differs((xs(3.0, 2.0, 2.0, 1.0), {"field": "x", "n": 2}))),
    Entry("bottom_n", bottom_n_sorted_slice, "rank_ties", "sorted()[:n] drops ties at the bottom cutoff",
          differs((xs(1.0, 1.0, 2.0), {"field": "x", "n": 1}))),
    Entry("bottom_n", bottom_n_nsmallest, "rank_ties", "heapq.nsmallest keeps exactly n",
          differs((xs(2.0, 1.0, 1.0), {"field": "x", "n": 1}))),
    Entry("bottom_pct", bottom_pct_argsort_slice, "rank_ties", "numpy argsort slice drops cutoff ties",
          differs((xs(1.0, 1.0, 2.0, 3.0), {"field": "x", "pct": 0.25}))),
    Entry("top_pct", top_pct_nlargest_first, "rank_ties", "pandas nlargest with keep='first'",
          differs((xs(3.0, 3.0, 1.0, 0.0), {"field": "x", "pct": 0.25}))),
    Entry("top_pct", top_pct_rank_first, "rank_ties", "pandas rank(method='first') <= k",
          differs((xs(3.0, 3.0, 1.0, 0.0), {"field": "x", "pct": 0.25}))),
    Entry("top_n", top_n_dense_rank, "rank_ties", "pandas dense rank <= n keeps too many after ties",
          differs((xs(3.0, 3.0, 2.0, 1.0), {"field": "x", "n": 2}))),
    Entry("top_n", top_n_rank_max, "rank_ties", "pandas rank(method='max') <= n drops the whole tie",
          differs((xs(3.0, 3.0, 1.0), {"field": "x", "n": 1}))),
    Entry("bottom_pct", bottom_pct_loop_break, "rank_ties", "loop stops at k, ties beyond are dropped",
          differs((xs(1.0, 2.0, 2.0, 3.0), {"field": "x", "pct": 0.5}))),
    # how many positions
    Entry("top_pct", top_pct_round_half_up, "rank_count", "k = int(count * pct + 0.5): no minimum of one",
          differs((xs(1.0, 2.0, 3.0, 4.0), {"field": "x", "pct": 0.1}))),
    Entry("bottom_pct", bottom_pct_floor, "rank_count", "k = int(count * pct): floor, no minimum of one",
          differs((xs(1.0, 2.0, 3.0, 4.0), {"field": "x", "pct": 0.3}))),
    Entry("top_pct", top_pct_round, "rank_count", "k = round(count * pct): banker's rounding",
          differs((xs(1.0, 2.0, 3.0, 4.0, 5.0), {"field": "x", "pct": 0.5}))),
    Entry("top_pct", top_pct_prefers_n, "rank_count", "pct ignored when n is also given",
          differs((xs(1.0, 2.0, 3.0, 4.0), {"field": "x", "pct": 1.0, "n": 1}))),
    Entry("top_n", top_n_ignores_pct, "rank_count", "n used even when pct is given",
          differs((xs(1.0, 2.0, 3.0, 4.0), {"field": "x", "n": 1, "pct": 1.0}))),
    Entry("bottom_pct", bottom_pct_share_of_pool, "rank_count", "share of the whole pool, NaN signals included",
          differs((xs(1.0, 2.0, NAN, NAN, NAN, NAN), {"field": "x", "pct": 0.5}))),
    Entry("top_pct", top_pct_share_with_nan, "rank_count", "share of values plus nan_count",
          differs((xs(1.0, 2.0, NAN, NAN, NAN, NAN), {"field": "x", "pct": 0.5}))),
    Entry("bottom_n", bottom_n_off_by_one, "rank_count", "cutoff read at index n: n + 1 positions",
          differs((xs(1.0, 2.0, 3.0), {"field": "x", "n": 1}))),
    Entry("top_n", top_n_no_clamp, "rank_count", "n beyond the pool (or no values) raises IndexError",
          differs((xs(1.0, 2.0, 3.0), {"field": "x", "n": 5}))),
    Entry("top_pct", top_pct_quantile, "rank_count", "cutoff at the interpolated (1 - pct) quantile",
          differs((xs(1.0, 2.0, 3.0), {"field": "x", "pct": 0.4}))),
    Entry("bottom_n", bottom_n_slice_n, "rank_count", "fractional n used as an index: TypeError",
          differs((xs(1.0, 2.0, 3.0), {"field": "x", "n": 2.5}))),
    Entry("top_pct", top_pct_percent_units, "rank_count", "pct read as a percentage",
          differs((xs(1.0, 2.0, 3.0, 4.0), {"field": "x", "pct": 0.5}))),
    # precision
    Entry("gt", gt_float32, "precision", "values and target compared as float32",
          differs((xs(0.1 + 1e-9, 0.5), {"field": "x", "value": 0.1}))),
    Entry("lt", lt_float32_values, "precision", "values rounded to float32",
          differs((xs(0.1 - 1e-10, 0.5), {"field": "x", "value": 0.1}))),
    Entry("gte", gte_float32_target, "precision", "target rounded to float32",
          differs((xs(0.1, 0.0), {"field": "x", "value": 0.1}))),
    Entry("eq", eq_np_isclose, "precision", "np.isclose: atol 1e-8 and rtol 1e-5",
          differs((xs(1e-9, 1.0), {"field": "x", "value": 0.0}))),
    Entry("eq", eq_abs_1e9, "precision", "tolerance 1e-9 (pandas)",
          differs((xs(5e-10, 1.0), {"field": "x", "value": 0.0}))),
    Entry("eq", eq_round6, "precision", "values and target rounded to 6 decimals",
          differs((xs(1e-7, 1.0), {"field": "x", "value": 0.0}))),
    Entry("neq", neq_isclose_relative, "precision", "math.isclose with a relative tolerance",
          differs((xs(1e6 + 1e-4, 0.0), {"field": "x", "value": 1e6}))),
    Entry("eq", eq_fixed_12, "precision", "equality of 12-decimal text: -0.0 and -1e-13 miss 0.0",
          differs((xs(-0.0, 1.0), {"field": "x", "value": 0.0}))),
    Entry("gt", gt_int_target, "precision", "target truncated to an integer",
          differs((xs(0.3, 2.0), {"field": "x", "value": 0.5}))),
    Entry("between", between_int_bounds, "precision", "bounds truncated to integers",
          differs((xs(0.5, 1.5, 3.0), {"field": "x", "low": 0.6, "high": 2.9}))),
    Entry("lte", lte_round_target, "precision", "target rounded to an integer",
          differs((xs(0.4, 1.0), {"field": "x", "value": 0.6}))),
    Entry("eq", eq_relative_tolerance, "precision", "relative tolerance only: nothing near 0.0",
          differs((xs(1e-13, 1.0), {"field": "x", "value": 0.0}))),
    Entry("neq", neq_exact, "precision", "no tolerance: 1e-13 differs from 0.0",
          differs((xs(1e-13, 1.0), {"field": "x", "value": 0.0}))),
    Entry("eq", eq_inclusive_tolerance, "precision", "abs difference <= 1e-12 counts as equal",
          differs((xs(1e-12, 1.0), {"field": "x", "value": 0.0}))),
    Entry("top_n", top_n_float32, "precision", "ranked in float32: close values tie",
          differs((xs(1.0, 1.0 + 1e-12, 0.5), {"field": "x", "n": 1}))),
    # combinators and the wrapper
    Entry("and_", and_first_two, "combinator", "intersection of the first two children only",
          differs((ids(3), {}, [{"s0", "s1"}, {"s0", "s1"}, {"s1"}]))),
    Entry("or_", or_first_two, "combinator", "union of the first two children only",
          differs((ids(3), {}, [{"s0"}, {"s1"}, {"s2"}]))),
    Entry("and_", and_count_equals_two, "combinator", "ids seen in exactly two children",
          differs((ids(3), {}, [{"s0", "s1"}]))),
    Entry("and_", and_no_children_all, "combinator", "no children gives the whole pool",
          differs((ids(3), {}, []))),
    Entry("or_", or_no_children_empty, "combinator", "no children gives the empty set instead of an error",
          differs((ids(3), {}, []))),
    Entry("not_", not_ignores_extra, "combinator", "children after the first ignored",
          differs((ids(3), {}, [{"s0"}, {"s1"}]))),
    Entry("not_", not_nor, "combinator", "complement of the union of any number of children",
          differs((ids(3), {}, [{"s0"}, {"s1"}]))),
    Entry("filtration", filtration_union, "combinator", "union of the children",
          differs((ids(3), {}, [{"s0", "s1"}, {"s1", "s2"}]))),
    Entry("filtration", filtration_select_all_first, "combinator", "select_all wins over the children",
          differs((ids(3), {"select_all": True}, [{"s0"}]))),
    Entry("filtration", filtration_no_children_all, "combinator", "no children selects all without select_all",
          differs((ids(3), {}, []))),
    Entry("filtration", filtration_select_all_is_true, "combinator", "select_all must be the object True",
          differs((ids(3), {"select_all": 1}, []))),
    Entry("or_", or_xor, "combinator", "symmetric difference of the children",
          differs((ids(3), {}, [{"s0", "s1"}, {"s1"}]))),
    Entry("and_", and_skips_empty_children, "combinator", "empty children treated as no constraint",
          differs((ids(3), {}, [{"s0", "s1"}, set()]))),
    # in-place changes
    Entry("gt", gt_coerces_value, "mutation", "writes the target back as a float",
          Mutates(xs(1.0, 2.0), {"field": "x", "value": 1})),
    Entry("in_", in_sorts_values, "mutation", "sorts the caller's target list",
          Mutates(tags(["a"]), {"field": "tags", "values": ["b", "a"]})),
    Entry("in_", in_dedupes_values, "mutation", "removes duplicate targets from the caller's list",
          Mutates(tags(["a"]), {"field": "tags", "values": ["a", "a"]})),
    Entry("top_pct", top_pct_writes_n, "mutation", "stores the computed count as params['n']",
          Mutates(xs(1.0, 2.0), {"field": "x", "pct": 0.5})),
    Entry("bottom_n", bottom_n_pops_pct, "mutation", "pops pct from the parameters",
          Mutates(xs(1.0, 2.0), {"field": "x", "n": 1, "pct": 0.5})),
    Entry("eq", eq_strips_target, "mutation", "strips the caller's string target in place",
          Mutates(cats("mom"), {"field": "c", "value": " mom"})),
    Entry("and_", and_intersects_first_child, "mutation", "intersects into the first child's set",
          Mutates(ids(3), {}, [{"s0", "s1"}, {"s1"}])),
    Entry("or_", or_updates_first_child, "mutation", "unites into the first child's set",
          Mutates(ids(3), {}, [{"s0"}, {"s1"}])),
    Entry("not_", not_consumes_pool_keys, "mutation", "removes the child from the pool keys it was given",
          Mutates(ids(3), {}, [{"s0"}])),
    Entry("filtration", filtration_intersection_update, "mutation", "intersection_update on the first child",
          Mutates(ids(3), {}, [{"s0", "s1"}, {"s1"}])),
    # module-level state
    Entry("gt", gt_global_scratch, "shared_state", "module-level scratch list of hits",
          Racy([{"field": "x", "value": 0.0}, {"field": "x", "value": 0.5}])),
    Entry("lt", lt_shared_lookup, "shared_state", "module-level dict of values",
          Racy([{"field": "x", "value": 0.0}, {"field": "x", "value": -0.5}])),
    Entry("in_", in_global_targets, "shared_state", "module-level set of targets",
          Racy([{"field": "tags", "values": ["a"]}, {"field": "tags", "values": ["b"]}])),
    Entry("bottom_pct", bottom_pct_shared_order, "shared_state", "module-level sorted order",
          Racy([{"field": "x", "pct": 0.1}, {"field": "x", "pct": 0.5}])),
    Entry("top_n", top_n_cache_by_size, "shared_state", "cutoff cached by field and pool size",
          differs((xs(1.0, 2.0, 3.0), {"field": "x", "n": 1}), (xs(4.0, 5.0, 6.0), {"field": "x", "n": 1}))),
    Entry("eq", eq_cache_by_ids, "shared_state", "result cached by the pool's ids, not its values",
          differs((xs(1.0, 2.0), {"field": "x", "value": 1.0}), (xs(2.0, 1.0), {"field": "x", "value": 1.0}))),
    # quadratic time
    Entry("top_n", top_n_rank_by_counting, "quadratic", "rank by counting greater values per value",
          Quadratic({"field": "x", "n": 5})),
    Entry("gt", gt_list_dedupe, "quadratic", "list membership to avoid duplicates",
          Quadratic({"field": "x", "value": 0.0})),
    Entry("in_", in_list_accumulate, "quadratic", "hits accumulated in a list, one pass per target",
          Quadratic({"field": "tags", "values": ["a", "b"]}, "tags")),
    Entry("and_", and_list_members, "quadratic", "membership in lists of the other children",
          Quadratic({}, None)),
    Entry("bottom_pct", bottom_pct_selection, "quadratic", "selection by repeated min and remove",
          Quadratic({"field": "x", "pct": 0.5})),
    Entry("not_", not_list_complement, "quadratic", "complement against a list of the child",
          Quadratic({}, None)),
    Entry("or_", or_list_union, "quadratic", "union accumulated in a list",
          Quadratic({}, None)),
    # reversed between bounds
    Entry("between", between_sorted_bounds, "reversed_bounds", "reversed bounds silently swapped",
          Direct(xs(1.0, 4.0), {"field": "x", "low": 5.0, "high": 0.0})),
    Entry("between", between_pandas_minmax, "reversed_bounds", "min/max of the bounds (pandas between)",
          Direct(xs(1.0, 4.0), {"field": "x", "low": 5.0, "high": 0.0})),
    # missing values
    Entry("eq", eq_subtracts, "missing_values", "a None value crashes the subtraction",
          differs((xs(1.0, None), {"field": "x", "value": 1.0}))),
    Entry("in_", in_set_of_value, "missing_values", "a None list value crashes set operations",
          differs((tags(["a"], None), {"field": "tags", "values": ["a"]}))),
    Entry("eq", eq_pandas_fillna, "missing_values", "None becomes NaN becomes 0.0 (pandas fillna)",
          differs((xs(0.0, None, 1.0), {"field": "x", "value": 0.0}))),
    Entry("eq", eq_truthiness, "missing_values", "a NaN flag is truthy",
          differs((rows("f", True, NAN), {"field": "f", "value": True}))),
    Entry("neq", neq_plain, "missing_values", "a NaN category differs from every string",
          differs((cats("m", NAN, "z"), {"field": "c", "value": "m"}))),
    Entry("neq", neq_complement_of_eq, "missing_values", "pool keys minus the equal ones: NaN signals leak",
          differs((xs(1.0, NAN), {"field": "x", "value": 1.0}))),
    # value types
    Entry("eq", eq_bool_as_number, "types", "True equals 1 (bool treated as int)",
          differs((xs(1.0, True), {"field": "x", "value": 1}))),
    Entry("neq", neq_bool_vs_int, "types", "a flag differs from an integer target",
          differs((rows("f", True, False), {"field": "f", "value": 0}))),
    Entry("top_n", top_n_text_key, "types", "ranked by the text of the values",
          differs((xs(10.0, 9.0, 2.0), {"field": "x", "n": 1}))),
    Entry("lt", lt_signbit, "types", "np.signbit(values - target): -0.0 is below 0.0",
          differs((xs(-0.0, 1.0), {"field": "x", "value": 0.0}))),
    Entry("lt", lt_skips_non_float, "types", "integer values skipped",
          differs((xs(0.5, 0), {"field": "x", "value": 1.0}))),
    # others
    Entry("gt", gt_uses_gte, "other", ">= instead of >",
          differs((xs(0.0, 1.0), {"field": "x", "value": 0.0}))),
    Entry("between", between_exclusive, "other", "bounds excluded",
          differs((xs(0.0, 1.0), {"field": "x", "low": 0.0, "high": 1.0}))),
    Entry("between", between_half_open, "other", "upper bound excluded (numpy)",
          differs((xs(0.0, 1.0), {"field": "x", "low": 0.0, "high": 1.0}))),
    Entry("bottom_n", bottom_n_descending, "other", "ranked descending: the largest values",
          differs((xs(1.0, 2.0), {"field": "x", "n": 1}))),
    Entry("in_", in_reads_value_key, "other", "reads params['value'] instead of 'values'",
          differs((tags(["a"]), {"field": "tags", "values": ["a"]}))),
    Entry("eq", eq_first_match, "other", "only the first matching signal",
          differs((xs(1.0, 1.0), {"field": "x", "value": 1.0}))),
    Entry("gt", gt_magnitude, "other", "compares the magnitude of the values",
          differs((xs(-2.0, 1.0), {"field": "x", "value": 0.0}))),
    # more of the everyday kind
    Entry("in_", in_lists_only, "membership", "a scalar category is iterated as characters: never matches",
          differs((cats("mom", "x"), {"field": "c", "values": ["mom"]}))),
    Entry("top_n", top_n_random_ties, "rank_ties", "ties at the cutoff broken at random, exactly n kept",
          differs((xs(3.0, 3.0, 1.0), {"field": "x", "n": 1}))),
    Entry("bottom_pct", bottom_pct_percentile_lower, "rank_count", "cutoff at np.percentile(method='lower')",
          differs((xs(*map(float, range(1, 11))), {"field": "x", "pct": 0.11}))),
    Entry("top_pct", top_pct_distinct_count, "rank_count", "share of the distinct values",
          differs((xs(1.0, 1.0, 1.0, 1.0, 2.0), {"field": "x", "pct": 0.5}))),
    Entry("lte", lte_complement_of_gt, "missing_values", "pool keys minus gt: NaN signals leak",
          differs((xs(1.0, NAN), {"field": "x", "value": 2.0}))),
    Entry("neq", neq_not_eq, "types", "every value that is not eq: flags against numbers, NaN categories",
          differs((rows("f", True, False), {"field": "f", "value": 1}))),
    Entry("gte", gte_returns_positions, "other", "returns positions instead of ids",
          differs((xs(1.0), {"field": "x", "value": 0.0}))),
    Entry("gt", gt_capped_results, "other", "at most the first ten hits in pool order",
          differs((xs(*map(float, range(1, 13))), {"field": "x", "value": 0.0}))),
    Entry("bottom_n", bottom_n_tie_rule_of_top, "other", "ascending cutoff with the descending tie rule (>=)",
          differs((xs(1.0, 2.0, 3.0), {"field": "x", "n": 1}))),
]
