"""New operators judged by their declared properties alone (no oracle): correct ones, and faulty ones whose fault
breaks a property they declare. Each row: the operator, its properties as `--property` takes them, and the strict
check that must reject it (None: a correct operator, which no strict check may reject)."""
import math
from typing import Callable, NamedTuple

import numpy as np


class Declared(NamedTuple):
    fn: Callable
    properties: str
    caught_by: str | None  # the strict check that finds the fault

    @property
    def id(self):
        return self.fn.__name__


def _numbers(prepared):
    return [(sid, v) for sid, v in prepared.values if isinstance(v, (int, float)) and not isinstance(v, bool)]


# --- correct ------------------------------------------------------------------------------------------------------

def above(prepared, params):
    return {sid for sid, v in _numbers(prepared) if v > params["value"]}


def at_most(prepared, params):
    return [sid for sid, v in _numbers(prepared) if v <= params["value"]]


def has_any_tag(prepared, params):
    wanted = set(params["values"])
    return (sid for sid, v in prepared.values if isinstance(v, list) and not wanted.isdisjoint(v))


def same_category(prepared, params):
    return frozenset(sid for sid, v in prepared.values if isinstance(v, str) and v == params["value"])


def inside(prepared, params):
    return {sid for sid, v in _numbers(prepared) if params["low"] <= v <= params["high"]}


def top_k(prepared, params):
    values = [(sid, v) for sid, v in _numbers(prepared) if not math.isnan(v)]
    k = min(int(params["n"]), len(values))
    if k <= 0:
        return set()
    cutoff = sorted((v for _, v in values), reverse=True)[k - 1]
    return {sid for sid, v in values if v >= cutoff}


def both(pool_keys, params, children=()):
    out = set(pool_keys)
    for child in children:
        out &= set(child)
    return out


def either(pool_keys, params, children=()):
    return set().union(*children)


def negate(pool_keys, params, children=()):
    (child,) = children
    return set(pool_keys) - set(child)


# --- faulty -------------------------------------------------------------------------------------------------------

def above_until_gap(prepared, params):
    """Stops at the first signal without a number: depends on the pool's order."""
    out = set()
    for sid, v in prepared.values:
        if not isinstance(v, (int, float)) or isinstance(v, bool) or v != v:
            break
        if v > params["value"]:
            out.add(sid)
    return out


def above_ties_by_id(prepared, params):
    """Breaks ties at the target by identifier."""
    return {sid for sid, v in _numbers(prepared) if v > params["value"] or (v == params["value"] and sid < "s5")}


_CACHE = {}


def above_memoised(prepared, params):
    """Caches selections by parameters, across pools."""
    key = (params["field"], params["value"])
    if key not in _CACHE:
        _CACHE[key] = above(prepared, params)
    return _CACHE[key]


def above_over_pool_max(prepared, params):
    """Scales the target by the pool's largest magnitude: not pointwise, as declared."""
    scale = max((abs(v) for _, v in _numbers(prepared) if math.isfinite(v)), default=1.0) or 1.0
    return {sid for sid, v in _numbers(prepared) if v / scale > params["value"] / scale * 1.0000001}


def at_most_float32(prepared, params):
    """The complement of gt, compared in single precision: it overlaps gt near the target."""
    with np.errstate(over="ignore"):
        target = np.float32(params["value"])
        return {sid for sid, v in _numbers(prepared) if np.float32(v) <= target}


def has_all_tags(prepared, params):
    """All of the targets instead of any: a longer list selects fewer."""
    wanted = set(params["values"])
    return {sid for sid, v in prepared.values if isinstance(v, list) and wanted <= set(v)}


def same_category_casefold(prepared, params):
    """Case-folded equality: neq selects the same signals too."""
    target = params["value"]
    return {sid for sid, v in prepared.values
            if isinstance(v, str) and isinstance(target, str) and v.casefold() == target.casefold()}


def top_k_none_beyond_pool(prepared, params):
    """n beyond the pool selects nothing instead of everything."""
    if int(params["n"]) > len(prepared.values):
        return set()
    return top_k(prepared, params)


def above_popping(prepared, params):
    """Takes the target out of the caller's parameters."""
    target = params.pop("value")
    return {sid for sid, v in _numbers(prepared) if v > target}


def both_first_two(pool_keys, params, children=()):
    """Intersects the first two children only."""
    if len(children) < 2:
        return set(children[0]) if children else set(pool_keys)
    return set(children[0]) & set(children[1])


def both_first_and_last(pool_keys, params, children=()):
    """Intersects the first and the last child."""
    return set(children[0]) & set(children[-1]) if children else set(pool_keys)


def either_first_two(pool_keys, params, children=()):
    """Unites the first two children only."""
    return set().union(*children[:2])


def negate_within_union(pool_keys, params, children=()):
    """Complements within the children instead of the pool."""
    return set().union(*children) - set(children[0])


DECLARED = [
    Declared(above, "numeric,pointwise,monotone=decreasing,complement=lte", None),
    Declared(at_most, "numeric,pointwise,monotone=increasing,complement=gt", None),
    Declared(has_any_tag, "list,pointwise,monotone=increasing", None),
    Declared(same_category, "string,pointwise,complement=neq", None),
    Declared(inside, "range,pointwise", None),
    Declared(top_k, "rank_n,monotone=increasing", None),
    Declared(both, "laws=and", None),
    Declared(either, "laws=or", None),
    Declared(negate, "laws=not", None),
    Declared(above_until_gap, "numeric,pointwise", "strict_relations"),
    Declared(above_ties_by_id, "numeric,pointwise", "strict_relations"),
    Declared(above_memoised, "numeric,pointwise", "strict_relations"),
    Declared(above_over_pool_max, "numeric,pointwise", "strict_relations"),
    Declared(at_most_float32, "numeric,complement=gt", "strict_relations"),
    Declared(has_all_tags, "list,monotone=increasing", "strict_relations"),
    Declared(same_category_casefold, "string,complement=neq", "strict_relations"),
    Declared(top_k_none_beyond_pool, "rank_n,monotone=increasing", "strict_relations"),
    Declared(above_popping, "numeric", "strict_immutable"),
    Declared(both_first_two, "laws=and", "strict_relations"),
    Declared(both_first_and_last, "laws=and", "strict_relations"),
    Declared(either_first_two, "laws=or", "strict_relations"),
    Declared(negate_within_union, "laws=not", "strict_relations"),
]
