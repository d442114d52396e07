"""Writes one seeded signal pool in the two formats the side-by-side engines read.

    /usr/bin/python3 generate.py N OUT_DIR [--seed S]

OUT_DIR/pool.json    {"<id>": {metadata}, ...} in pool order, NaN as the literal NaN
                     (what `filtrations resolve --pool` reads; the C++ engine loads it)
OUT_DIR/signals.csv  the same rows in the same order (DuckDB and pandas); floats written with
                     repr() so they read back exactly, NaN as NaN, families joined by '|'

Ids are sig_%08d for 0..N-1 in a seeded shuffle. Each float field has 2 % NaN (is_sharpe,
is_returns); rotation_families_used holds 1-3 distinct families; expression_complexity is an
int from 1 to 20.
"""

import argparse
import json
import os

import numpy as np

FAMILIES = ["numerical", "latitudinal", "longitudinal", "collection", "comparison", "event"]
CATEGORIES = ["momentum", "value", "volatility", "quality", "carry"]
NAN_SHARE = 0.02


def make_columns(n, seed):
    rng = np.random.default_rng(seed)
    order = rng.permutation(n)
    ids = [f"sig_{i:08d}" for i in order]

    def with_nan(values):
        values[rng.random(n) < NAN_SHARE] = np.nan
        return values

    is_sharpe = with_nan(rng.standard_normal(n))
    is_returns = with_nan(rng.standard_normal(n))
    is_turnover = rng.exponential(0.5, n)
    counts = rng.integers(1, 4, n)
    # A random permutation of the six families per signal; its first `count` entries are used.
    picks = np.argsort(rng.random((n, len(FAMILIES))), axis=1)
    families = [[FAMILIES[j] for j in picks[i, : counts[i]]] for i in range(n)]
    category = rng.integers(0, len(CATEGORIES), n)
    is_active = rng.random(n) < 0.8
    complexity = rng.integers(1, 21, n)  # drawn last: the columns above are as before
    return ids, is_sharpe, is_returns, is_turnover, families, category, is_active, complexity


def num(x):
    return "NaN" if x != x else repr(x)


def write(n, out_dir, seed):
    ids, sharpe, returns, turnover, families, category, active, complexity = make_columns(n, seed)
    os.makedirs(out_dir, exist_ok=True)
    # Python floats: repr() and json.dumps write the shortest text that reads back exactly.
    sharpe, returns, turnover = sharpe.tolist(), returns.tolist(), turnover.tolist()
    category, active, complexity = category.tolist(), active.tolist(), complexity.tolist()

    tmp = os.path.join(out_dir, "pool.json.tmp")
    with open(tmp, "w") as f:
        f.write("{")
        for i in range(n):
            meta = {
                "is_sharpe": sharpe[i],
                "is_returns": returns[i],
                "is_turnover": turnover[i],
                "rotation_families_used": families[i],
                "signal_category": CATEGORIES[category[i]],
                "is_active": active[i],
                "expression_complexity": complexity[i],
            }
            f.write(("," if i else "") + "\n" + json.dumps(ids[i]) + ": " + json.dumps(meta))
        f.write("\n}\n")
    os.replace(tmp, os.path.join(out_dir, "pool.json"))

    tmp = os.path.join(out_dir, "signals.csv.tmp")
    with open(tmp, "w") as f:
        f.write("id,is_sharpe,is_returns,is_turnover,rotation_families_used,signal_category,is_active,"
                "expression_complexity\n")
        for i in range(n):
            f.write(
                f"{ids[i]},{num(sharpe[i])},{num(returns[i])},{num(turnover[i])},{'|'.join(families[i])},"
                f"{CATEGORIES[category[i]]},{'true' if active[i] else 'false'},{complexity[i]}\n"
            )
    os.replace(tmp, os.path.join(out_dir, "signals.csv"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("n", type=int)
    parser.add_argument("out_dir")
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    write(args.n, args.out_dir, args.seed)


if __name__ == "__main__":
    main()
