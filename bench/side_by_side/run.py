#!/usr/bin/python3
"""Side by side: brindlecap (C++ from pool JSON, born column-wise or loaded row by row, and from
Python on a pool built column-wise from a pandas DataFrame), DuckDB (one thread) and pandas on the
same seeded pool and two filter trees
    families    and_(gt(is_sharpe, 0.0), or_(in_(rotation_families_used, ["numerical"]), top_pct(is_returns, 0.2)))
    categories  and_(gt(is_sharpe, 0.0), top_pct(is_returns, 0.2), in_(signal_category, ["momentum", "quality"]))

    nice bench/side_by_side/run.py [--sizes 100000,1000000] [--trees families,categories] [--reps 7]
                                   [--seed 2026] [--no-build]

Builds side_by_side_resolve and the extension module in build/default (-j2), installs the DuckDB
client from package-lock.json when node_modules is missing, generates the data once per size and
seed under build/side_by_side/, and runs each engine in its own process per tree. Two columns:
one-shot, the load and the first answer (brindlecap from pool.json and from the same file row by
row, from a DataFrame in memory; DuckDB from the CSV file; pandas from the CSV file and from the
DataFrame it read), and query-only, the median of --reps later queries. Checks that all engines
return the same ids byte for byte and prints one table per tree, then brindlecap's first call,
memory and loading; and the one-shot question from one DataFrame asked of brindlecap and pandas
in turns in one process (python_engine.py), wall and CPU time. Exit status 1 when the ids differ.
"""

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.path.join(ROOT, "build", "default")
PYTHON = "/usr/bin/python3"  # Debian's numpy and pandas
# (name, engine): each runs in a process of its own.
RUNS = (("brindlecap", "json"), ("brindlecap rows", "rows"), ("brindlecap python", "python"), ("duckdb", "duckdb"),
        ("pandas", "pandas"))


def sh(cmd, **kw):
    print("+ " + " ".join(cmd), file=sys.stderr, flush=True)
    subprocess.run(cmd, check=True, **kw)


def build():
    if not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
        sh(["nice", "cmake", "--preset", "default"], cwd=ROOT, stdout=subprocess.DEVNULL)
    sh(["nice", "cmake", "--build", "--preset", "default", "--target", "side_by_side_resolve", "brindlecap_native", "-j", "2"],
       cwd=ROOT, stdout=subprocess.DEVNULL)


def data_dir(n, seed):
    d = os.path.join(ROOT, "build", "side_by_side", f"n{n}_seed{seed}")
    if not all(os.path.exists(os.path.join(d, f)) for f in ("pool.json", "signals.csv")):
        sh([PYTHON, os.path.join(HERE, "generate.py"), str(n), d, "--seed", str(seed)])
    return d


def run_engine(engine, d, tree, reps):
    ids = os.path.join(d, f"{engine}.{tree}.ids")
    if os.path.exists(ids):
        os.remove(ids)
    csv = os.path.join(d, "signals.csv")
    resolve = [os.path.join(BUILD, "bench", "side_by_side_resolve"), "--pool", os.path.join(d, "pool.json"),
               "--tree", tree, "--reps", str(reps), "--ids-out", ids]
    cmd = {
        "json": resolve + ["--memory"],
        "rows": resolve + ["--loader", "rows"],
        "duckdb": ["node", os.path.join(HERE, "duckdb_engine.mjs"), csv, str(reps), ids, tree],
        "pandas": [PYTHON, os.path.join(HERE, "pandas_engine.py"), csv, str(reps), ids, tree],
        "python": [PYTHON, os.path.join(HERE, "python_engine.py"), csv, str(reps), ids, tree],
    }[engine]
    print(f"+ {engine} {tree} on {os.path.basename(d)}", file=sys.stderr, flush=True)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "python"), HERE]))
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True, env=env).stdout
    result = json.loads(out.strip().splitlines()[-1])
    if engine in ("json", "rows"):
        result["load_ms"] = result["parse_ms"] + result["pool_build_ms"]
    with open(ids, "rb") as f:
        result["ids"] = f.read()
    return result


def check_same(n, tree, results):
    ref = results["json"]["ids"]
    ok = True
    for _, engine in RUNS[1:]:
        other = results[engine]["ids"]
        if other == ref:
            continue
        ok = False
        a, b = ref.splitlines(), other.splitlines()
        first = next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), min(len(a), len(b)))
        print(f"MISMATCH at {n} signals, tree {tree}: brindlecap {len(a)} ids, {engine} {len(b)} ids; first "
              f"difference at line {first + 1}: {a[first:first + 1]} vs {b[first:first + 1]}", file=sys.stderr)
    return ok


def table(tree, rows):
    print(f"tree {tree}")
    header = (f"{'engine':<18} {'from':<10} {'signals':>9} {'passing':>8} {'load ms':>9} {'first ms':>9} "
              f"{'one-shot ms':>12} {'median ms':>10} {'vs brindlecap':>14}")
    print(header)
    print("-" * len(header))
    for n, results in rows:
        base = results["json"]["median_ms"]
        lines = []
        for name, engine in RUNS:
            r = results[engine]
            source = {"json": "pool.json", "rows": "pool.json", "python": "DataFrame", "duckdb": "CSV",
                      "pandas": "CSV"}[engine]
            lines.append((name, source, r["load_ms"], r["first_ms"], r["load_ms"] + r["first_ms"], r))
            if engine == "pandas":
                lines.append(("pandas", "DataFrame", None, r["first_ms"], r["first_ms"], r))
        for name, source, load, first, one_shot, r in lines:
            shown = f"{load:>9.1f}" if load is not None else f"{'-':>9}"
            print(f"{name:<18} {source:<10} {n:>9} {r['passing']:>8} {shown} {first:>9.1f} {one_shot:>12.1f} "
                  f"{r['median_ms']:>10.2f} {r['median_ms'] / base:>13.2f}x")
        share = results["json"]["passing"] / n
        digest = hashlib.sha256(results["json"]["ids"]).hexdigest()[:16]
        same = "identical" if all(results[e]["ids"] == results["json"]["ids"] for _, e in RUNS) else "DIFFERENT"
        frame = results["python"]["load_ms"] + results["python"]["first_ms"]
        pandas_frame = results["pandas"]["first_ms"]
        print(f"  {share:.2%} pass; ids {same} across engines (sha256 {digest}...); one-shot from a DataFrame: "
              f"brindlecap {frame:.0f} ms, pandas {pandas_frame:.0f} ms ({frame / pandas_frame:.2f}x); DuckDB before "
              f"converting the ids to JavaScript strings: {results['duckdb']['engine_ms']:.1f} ms")
        rounds = results["python"]["one_shot_rounds"]
        mine, theirs = rounds["brindlecap"], rounds["pandas"]
        shown = []
        for what in ("wall_ms", "cpu_ms"):
            a, b = statistics.median(mine[what]), statistics.median(theirs[what])
            shown.append(f"{what[:-3]} median {a:.0f} vs {b:.0f} ms ({a / b:.2f}x), best {min(mine[what]):.0f} vs "
                         f"{min(theirs[what]):.0f} ms")
        print(f"  the same DataFrame, brindlecap and pandas taking turns ({len(mine['wall_ms'])} rounds): "
              + "; ".join(shown))
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--trees", default="families,categories")
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--no-build", action="store_true", help="use the existing side_by_side_resolve")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    trees = args.trees.split(",")

    if not args.no_build:
        build()
    if not os.path.isdir(os.path.join(HERE, "node_modules", "@duckdb", "node-api")):
        sh(["npm", "ci", "--no-audit", "--no-fund"], cwd=HERE, stdout=subprocess.DEVNULL)

    by_tree, mismatch = {tree: [] for tree in trees}, False
    for n in sizes:
        d = data_dir(n, args.seed)
        for tree in trees:
            results = {engine: run_engine(engine, d, tree, args.reps) for _, engine in RUNS}
            mismatch |= not check_same(n, tree, results)
            by_tree[tree].append((n, results))

    first = by_tree[trees[0]][0][1]
    print()
    print(f"seed {args.seed}; one-shot = load + first answer; median of {args.reps} queries after the first; one "
          f"thread each; DuckDB {first['duckdb']['version']} (in_ over lists as {first['duckdb']['in_']}), pandas "
          f"{first['pandas']['version']}")
    print()
    for tree in trees:
        table(tree, by_tree[tree])
    print("brindlecap's first call (the pool born column-wise, its identifiers ordered when read) and memory:")
    for tree in trees:
        for n, results in by_tree[tree]:
            b, rows = results["json"], results["rows"]
            print(f"  {tree:<10} {n:>9}: first call {b['first_ms']:.1f} ms, later calls {b['median_ms']:.2f} ms "
                  f"(median); row pool's first call {rows['first_ms']:.1f} ms; pool {b['pool_bytes_per_signal']:.0f} "
                  f"B/signal, columns of the three fields and the order {b['column_bytes_per_signal']:.0f} B/signal")
    print()
    print("loading:")
    for n, results in by_tree[trees[0]]:
        b, rows = results["json"], results["rows"]
        print(f"  {n:>9}: brindlecap pool.json {b['file_MB']:.0f} MB read into a pool in {b['parse_ms']:.0f} ms "
              f"({b['parse_MB_per_s']:.0f} MB/s; {b['load_MB_per_cpu_s']:.0f} MB per CPU second), row by row "
              f"{rows['load_ms']:.0f} ms; pool_from_dataframe {results['python']['load_ms']:.0f} ms; DuckDB CSV "
              f"{results['duckdb']['load_ms']:.0f} ms; pandas CSV {results['pandas']['load_ms']:.0f} ms")
    if mismatch:
        print("\nFAILED: the engines returned different ids", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
