#!/usr/bin/env python3
"""Writes the sample inputs under examples/ (deterministic; rerun to regenerate).

signals.json holds 300 signals whose statistics hang together the way research output does:
out-of-sample Sharpe tracks in-sample Sharpe loosely, returns follow Sharpe, momentum signals
trade more, and the most recent submissions have no out-of-sample period yet (NaN).
"""
import json
import math
import os
import random

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
FAMILIES = ["numerical", "latitudinal", "longitudinal", "collection", "comparison", "event"]
CATEGORIES = {"momentum": (0.45, 1.6), "value": (0.35, 0.5), "volatility": (0.2, 0.9), "quality": (0.5, 0.35)}
START = 1672531200.0  # 2023-01-01
END = 1719705600.0    # 2024-06-30
NO_OS_AFTER = 1717200000.0  # submitted in the last month: no out-of-sample period yet


def rounded(x, digits=4):
    return x if math.isnan(x) else round(x, digits)


def signal(rng, category):
    mean_sharpe, turnover_scale = CATEGORIES[category]
    is_sharpe = rng.gauss(mean_sharpe, 0.7)
    submitted = rng.uniform(START, END)
    if submitted > NO_OS_AFTER:
        os_sharpe = os_returns = os_turnover = float("nan")
    else:
        os_sharpe = 0.45 * is_sharpe + rng.gauss(0.0, 0.6)
        os_returns = 0.04 * os_sharpe + rng.gauss(0.0, 0.02)
        os_turnover = turnover_scale * rng.lognormvariate(0.0, 0.45)
    families = rng.sample(FAMILIES, rng.randint(1, 3))
    return {
        "is_sharpe": rounded(is_sharpe),
        "os_sharpe": rounded(os_sharpe),
        "is_returns": rounded(0.05 * is_sharpe + rng.gauss(0.0, 0.015)),
        "os_returns": rounded(os_returns),
        "is_turnover": rounded(turnover_scale * rng.lognormvariate(0.0, 0.4)),
        "os_turnover": rounded(os_turnover),
        "rotation_families_used": families,
        "expression_complexity": min(20, max(1, int(rng.gauss(4 + 3 * len(families), 3)))),
        "submission_date": round(submitted, 1),
        "is_active": rng.random() < 0.85,
        "signal_category": category,
    }


def product(rng, layer, pid, market):
    families = rng.sample(FAMILIES, rng.randint(1, 3))
    metadata = {
        "investment_product_type": layer,
        "strict_expression": rng.choice(["strict", "relaxed"]),
        "market_id": market,
        "status": rng.choice(["active", "active", "active", "paused", "retired"]),
        "effective_metaparameters": rng.choice(["default", "tuned", "conservative"]),
        "source": rng.choice(["research", "library", "import"]),
        "is_sharpe": round(rng.gauss(0.6, 0.6), 4),
        "is_correlation": round(rng.uniform(0.0, 0.9), 4),
        "rotation_families_used": families,
        "rotations_used": sorted(f + "_" + str(rng.randint(1, 4)) for f in families),
    }
    return pid, {"product_id": pid, "metadata": metadata}


def write(name, doc):
    path = os.path.join(ROOT, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        json.dump(doc, f, indent=1 if name == "signals.json" else 2)
        f.write("\n")


def main():
    rng = random.Random(20260)
    signals = {}
    for i in range(300):
        category = rng.choices(list(CATEGORIES), weights=[4, 3, 2, 2])[0]
        signals["sig_%04d" % (i + 1)] = signal(rng, category)
    write("signals.json", signals)

    ids = [sid for sid in signals if rng.random() < 0.15]
    with open(os.path.join(ROOT, "signal_ids.txt"), "w") as f:
        f.write("# signals of market 1, era 412 to evaluate in real mode\n")
        f.write("\n".join(ids) + "\n")

    products = {}
    for i in range(24):
        pid, p = product(rng, "signal", "sig_%04d" % (i + 1), 1 if i % 4 else 2)
        products[pid] = p
    for i in range(8):
        pid, p = product(rng, "strategy", "strat_%02d" % (i + 1), 1)
        products[pid] = p
    for i in range(3):
        pid, p = product(rng, "allocation", "alloc_%d" % (i + 1), 1)
        products[pid] = p
    write("products.json", products)

    write("trees/quality_momentum.json", {
        "function_name": "and_",
        "children": [
            {"function_name": "gt", "params": {"field": "is_sharpe", "value": 0.5}},
            {"function_name": "eq", "params": {"field": "is_active", "value": True}},
            {"function_name": "in_", "params": {"field": "signal_category", "values": ["momentum", "quality"]}},
            {"function_name": "or_", "children": [
                {"function_name": "bottom_pct", "params": {"field": "is_turnover", "pct": 0.5}},
                {"function_name": "lte", "params": {"field": "expression_complexity", "value": 8}},
            ]},
        ],
    })
    write("trees/best_per_style.json", {
        "function_name": "or_",
        "children": [
            {"function_name": "and_", "children": [
                {"function_name": "eq", "params": {"field": "signal_category", "value": category}},
                {"function_name": "top_pct", "params": {"field": "is_sharpe", "pct": 0.25}},
            ]}
            for category in ["momentum", "value", "quality"]
        ],
    })
    write("trees/recent_event_driven.json", {
        "function_name": "and_",
        "children": [
            {"function_name": "gte", "params": {"field": "submission_date", "value": 1704067200.0}},
            {"function_name": "in_", "params": {"field": "rotation_families_used", "values": ["event", "comparison"]}},
            {"function_name": "not_", "children": [
                {"function_name": "eq", "params": {"field": "signal_category", "value": "volatility"}}]},
        ],
    })
    write("trees/too_strict.json", {
        "function_name": "and_",
        "children": [
            {"function_name": "top_n", "params": {"field": "is_sharpe", "n": 5}},
            {"function_name": "eq", "params": {"field": "signal_category", "value": "volatility"}},
            {"function_name": "lt", "params": {"field": "is_turnover", "value": 0.5}},
        ],
    })
    write("trees/strategy_products.json", {
        "function_name": "and_",
        "children": [
            {"function_name": "eq", "params": {"field": "status", "value": "active"}},
            {"function_name": "gte", "params": {"field": "is_sharpe", "value": 0.5}},
            {"function_name": "lt", "params": {"field": "is_correlation", "value": 0.6}},
        ],
    })
    write("flatten/is_stats.json", {"sharpe": 1.31, "returns": 0.062, "turnover": 0.84, "max_drawdown": -0.11})
    write("flatten/os_stats.json", {"sharpe": 0.72, "returns": 0.031, "turnover": 0.91, "max_drawdown": float("nan")})
    write("flatten/metadata.json", {
        "rotation_families_used": ["event", "comparison"],
        "expression_complexity": 9,
        "submission_date": 1709251200.0,
        "is_active": True,
        "signal_category": "momentum",
    })


if __name__ == "__main__":
    main()
