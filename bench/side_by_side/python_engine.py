"""brindlecap from Python in the side-by-side benchmark (run.py): reads signals.csv with pandas,
builds a pool column-wise (brindlecap.columns.pool_from_dataframe: no Python object per
signal), then times resolve_filtrations of
    and_(gt(is_sharpe, 0.0), or_(in_(rotation_families_used, ["numerical"]), top_pct(is_returns, 0.2)))

    PYTHONPATH=python /usr/bin/python3 python_engine.py CSV REPS IDS_OUT

Prints one JSON object like the other engines'; IDS_OUT gets the ids, one per line.
"""

import json
import statistics
import sys
import time

import pandas as pd

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.columns import pool_from_dataframe
from brindlecap.functions.registry_and_store.store_builder import build_default_store
from pandas_engine import load

TREE = fe.FilterNode("and_", children=[
    fe.FilterNode("gt", {"field": "is_sharpe", "value": 0.0}),
    fe.FilterNode("or_", children=[
        fe.FilterNode("in_", {"field": "rotation_families_used", "values": ["numerical"]}),
        fe.FilterNode("top_pct", {"field": "is_returns", "pct": 0.2}),
    ]),
])


def main():
    csv_path, reps, ids_out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    df = load(csv_path)
    df["signal_category"] = df["signal_category"].astype("category")
    start = time.perf_counter()
    pool = pool_from_dataframe(df, ids="id")
    load_ms = (time.perf_counter() - start) * 1e3
    store = build_default_store()

    start = time.perf_counter()
    ids = fe.resolve_filtrations(pool, TREE, store).passing_ids
    first_ms = (time.perf_counter() - start) * 1e3
    times = []
    for r in range(reps):
        start = time.perf_counter()
        again = fe.resolve_filtrations(pool, TREE, store).passing_ids
        times.append((time.perf_counter() - start) * 1e3)
        if again != ids:
            sys.exit(f"python_engine: repetition {r + 1} returned other ids")

    with open(ids_out, "w") as f:
        f.writelines(i + "\n" for i in ids)
    print(json.dumps({
        "engine": "python", "signals": len(df), "passing": len(ids), "load_ms": load_ms, "first_ms": first_ms,
        "times_ms": times, "median_ms": statistics.median(times),
    }))


if __name__ == "__main__":
    main()
