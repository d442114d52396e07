"""brindlecap from Python in the side-by-side benchmark (run.py): reads signals.csv with pandas
(pandas_engine.load, not timed), then times building a pool column-wise from the DataFrame
(brindlecap.columns.pool_from_dataframe: no Python object per signal) with the first
resolve_filtrations after it, then later calls, on one of two trees
    families    and_(gt(is_sharpe, 0.0), or_(in_(rotation_families_used, ["numerical"]), top_pct(is_returns, 0.2)))
    categories  and_(gt(is_sharpe, 0.0), top_pct(is_returns, 0.2), in_(signal_category, ["momentum", "quality"]))

    PYTHONPATH=python /usr/bin/python3 python_engine.py CSV REPS IDS_OUT [families|categories]

Prints one JSON object like the other engines'; IDS_OUT gets the ids, one per line. Then REPS
rounds of the one-shot question on the same DataFrame, this library (pool_from_dataframe and the
first resolve) and pandas (pandas_engine.query) taking turns, each round's ids checked: wall and
CPU milliseconds per round in `one_shot_rounds`.
"""

import json
import statistics
import sys
import time

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.columns import pool_from_dataframe
from brindlecap.functions.registry_and_store.store_builder import build_default_store
from pandas_engine import load, query

SHARPE = fe.FilterNode("gt", {"field": "is_sharpe", "value": 0.0})
RETURNS = fe.FilterNode("top_pct", {"field": "is_returns", "pct": 0.2})
TREES = {
    "families": fe.FilterNode("and_", children=[
        SHARPE,
        fe.FilterNode("or_", children=[
            fe.FilterNode("in_", {"field": "rotation_families_used", "values": ["numerical"]}),
            RETURNS,
        ]),
    ]),
    "categories": fe.FilterNode("and_", children=[
        SHARPE, RETURNS, fe.FilterNode("in_", {"field": "signal_category", "values": ["momentum", "quality"]}),
    ]),
}


def main():
    csv_path, reps, ids_out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    tree_name = sys.argv[4] if len(sys.argv) > 4 else "families"
    tree = TREES[tree_name]
    df = load(csv_path)
    store = build_default_store()

    def one_shot():
        """pool_from_dataframe and the first resolve on it: (ids, load ms, first ms, CPU ms)."""
        cpu = time.process_time()
        start = time.perf_counter()
        pool = pool_from_dataframe(df, ids="id")
        built = time.perf_counter()
        passing = fe.resolve_filtrations(pool, tree, store).passing_ids
        end = time.perf_counter()
        return passing, (built - start) * 1e3, (end - built) * 1e3, (time.process_time() - cpu) * 1e3

    ids, load_ms, first_ms, _ = one_shot()
    pool = pool_from_dataframe(df, ids="id")
    times = []
    for r in range(reps):
        start = time.perf_counter()
        again = fe.resolve_filtrations(pool, tree, store).passing_ids
        times.append((time.perf_counter() - start) * 1e3)
        if again != ids:
            sys.exit(f"python_engine: repetition {r + 1} returned other ids")
    # The one-shot question from this DataFrame, this library and pandas taking turns, so that both
    # meet the same load on a shared machine: wall and CPU milliseconds per round.
    rounds = {"brindlecap": [], "pandas": []}
    for r in range(reps):
        again, built_ms, answered_ms, cpu_ms = one_shot()
        rounds["brindlecap"].append((built_ms + answered_ms, cpu_ms))
        cpu = time.process_time()
        start = time.perf_counter()
        theirs = query(df, tree_name)
        rounds["pandas"].append(((time.perf_counter() - start) * 1e3, (time.process_time() - cpu) * 1e3))
        if again != ids or theirs != ids:
            sys.exit(f"python_engine: round {r + 1} returned other ids")

    with open(ids_out, "w") as f:
        f.writelines(i + "\n" for i in ids)
    print(json.dumps({
        "engine": "python", "tree": tree_name, "signals": len(df), "passing": len(ids), "load_ms": load_ms,
        "first_ms": first_ms, "times_ms": times, "median_ms": statistics.median(times),
        "one_shot_rounds": {name: {"wall_ms": [w for w, _ in r], "cpu_ms": [c for _, c in r]} for name, r in rounds.items()},
    }))


if __name__ == "__main__":
    main()
