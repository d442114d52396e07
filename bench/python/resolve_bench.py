"""resolve_filtrations called from Python on pools of fixture-like signals, conversion included.

    PYTHONPATH=python /usr/bin/python3 bench/python/resolve_bench.py [--signals 100000] [--repeat 7]

The pool is a dict of UsefulSignal whose metadata dicts hold the eleven synthetic fixture keys
(literal keys, so interned; category and family strings repeated as the same objects) and share
one empty weights array, as resolve_bench.cpp's pool has no weights. The tree is resolve_bench's.
"""
import argparse
import statistics
import time

import numpy as np

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.functions.registry_and_store.store_builder import FunctionStore, build_default_store

FAMILIES = ["numerical", "latitudinal", "longitudinal", "collection", "comparison", "event"]
CATEGORIES = ["momentum", "value", "volatility", "quality"]


def make_pool(n, seed=2026):
    rng = np.random.default_rng(seed)
    normals = rng.standard_normal((n, 6))
    counts = rng.integers(1, 4, n)
    family_picks = rng.integers(0, len(FAMILIES), (n, 3))
    complexity = rng.integers(1, 21, n)
    dates = 1.7e9 + rng.uniform(0, 1e7, n)
    active = rng.integers(0, 2, n)
    category = rng.integers(0, len(CATEGORIES), n)
    weights = np.empty((0, 0))
    pool = {}
    for i in range(n):
        row = normals[i]
        pool[f"synth_{i:06d}"] = fe.UsefulSignal(weights=weights, pnl=None, metadata={
            "is_sharpe": float(row[0]),
            "os_sharpe": float(row[1]),
            "is_returns": float(row[2]) * 0.1,
            "os_returns": float(row[3]) * 0.1,
            "is_turnover": abs(float(row[4])),
            "os_turnover": abs(float(row[5])),
            "rotation_families_used": [FAMILIES[j] for j in family_picks[i, :counts[i]]],
            "expression_complexity": int(complexity[i]),
            "submission_date": float(dates[i]),
            "is_active": bool(active[i]),
            "signal_category": CATEGORIES[category[i]],
        })
    return pool


TREE = fe.FilterNode("and_", {}, [
    fe.FilterNode("gt", {"field": "is_sharpe", "value": 0.0}),
    fe.FilterNode("or_", {}, [
        fe.FilterNode("in_", {"field": "rotation_families_used", "values": ["numerical"]}),
        fe.FilterNode("top_pct", {"field": "is_returns", "pct": 0.2}),
    ]),
])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--signals", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    pool = make_pool(args.signals)
    store = build_default_store()
    wall, cpu = [], []
    for _ in range(args.repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = fe.resolve_filtrations(pool, TREE, store)
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    print(f"resolve_filtrations from Python, {args.signals} signals, {result.signal_count} passing, "
          f"{args.repeat} runs: wall median {statistics.median(wall) * 1e3:.1f} ms (min {min(wall) * 1e3:.1f}), "
          f"CPU median {statistics.median(cpu) * 1e3:.1f} ms")

    # Rejecting an operator's result that holds ids outside the pool (FiltrationSubsetError).
    foreign = {f"foreign_{i}" for i in range(args.signals)}
    rejecting = FunctionStore()
    rejecting.register("gt", factory=lambda prepared, params: foreign)
    wall = []
    for _ in range(args.repeat):
        start = time.perf_counter()
        try:
            fe.resolve_filtrations(pool, fe.FilterNode("gt", {"field": "is_sharpe", "value": 0.0}), rejecting)
        except fe.FiltrationSubsetError:
            pass
        wall.append(time.perf_counter() - start)
    print(f"a result of {len(foreign)} ids outside the pool rejected: wall median "
          f"{statistics.median(wall) * 1e3:.1f} ms (min {min(wall) * 1e3:.1f})")


if __name__ == "__main__":
    main()
