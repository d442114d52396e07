#!/usr/bin/python3
"""Side by side: resolve_filtrations (C++, and from Python on a pool built column-wise from a pandas
DataFrame), DuckDB (one thread) and pandas on the same seeded pool
and the same filter tree
    and_(gt(is_sharpe, 0.0), or_(in_(rotation_families_used, ["numerical"]), top_pct(is_returns, 0.2)))

    nice bench/side_by_side/run.py [--sizes 100000,1000000] [--reps 7] [--seed 2026] [--no-build]

Builds side_by_side_resolve in build/default (-j2), installs the DuckDB client from
package-lock.json when node_modules is missing, generates the data once per size and seed under
build/side_by_side/, runs each engine in its own process (data loaded first; the first query
reported apart, median over --reps later queries), checks that all engines return the same ids
byte for byte and prints one table, then brindlecap's first call, memory and loading.
Exit status 1 when the ids differ.
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.path.join(ROOT, "build", "default")
PYTHON = "/usr/bin/python3"  # Debian's numpy and pandas
ENGINES = ("brindlecap", "python", "duckdb", "pandas")


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


def run_engine(engine, d, reps):
    ids = os.path.join(d, f"{engine}.ids")
    if os.path.exists(ids):
        os.remove(ids)
    csv = os.path.join(d, "signals.csv")
    cmd = {
        "brindlecap": [os.path.join(BUILD, "bench", "side_by_side_resolve"),
                       "--pool", os.path.join(d, "pool.json"), "--reps", str(reps), "--ids-out", ids, "--memory"],
        "duckdb": ["node", os.path.join(HERE, "duckdb_engine.mjs"), csv, str(reps), ids],
        "pandas": [PYTHON, os.path.join(HERE, "pandas_engine.py"), csv, str(reps), ids],
        "python": [PYTHON, os.path.join(HERE, "python_engine.py"), csv, str(reps), ids],
    }[engine]
    print(f"+ {engine} on {os.path.basename(d)}", file=sys.stderr, flush=True)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "python"), HERE]))
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True, env=env).stdout
    result = json.loads(out.strip().splitlines()[-1])
    with open(ids, "rb") as f:
        result["ids"] = f.read()
    return result


def check_same(n, results):
    ref = results["brindlecap"]["ids"]
    ok = True
    for engine in ENGINES[1:]:
        other = results[engine]["ids"]
        if other == ref:
            continue
        ok = False
        a, b = ref.splitlines(), other.splitlines()
        first = next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), min(len(a), len(b)))
        print(f"MISMATCH at {n} signals: brindlecap {len(a)} ids, {engine} {len(b)} ids; first difference "
              f"at line {first + 1}: {a[first:first + 1]} vs {b[first:first + 1]}", file=sys.stderr)
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--no-build", action="store_true", help="use the existing side_by_side_resolve")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    if not args.no_build:
        build()
    if not os.path.isdir(os.path.join(HERE, "node_modules", "@duckdb", "node-api")):
        sh(["npm", "ci", "--no-audit", "--no-fund"], cwd=HERE, stdout=subprocess.DEVNULL)

    rows, mismatch = [], False
    for n in sizes:
        d = data_dir(n, args.seed)
        results = {engine: run_engine(engine, d, args.reps) for engine in ENGINES}
        mismatch |= not check_same(n, results)
        rows.append((n, results))

    print()
    print("tree: and_(gt(is_sharpe, 0.0), or_(in_(rotation_families_used, [numerical]), top_pct(is_returns, 0.2)))")
    print(f"seed {args.seed}; median of {args.reps} queries after a first one; one thread each; "
          f"DuckDB {rows[0][1]['duckdb']['version']} (in_ as {rows[0][1]['duckdb']['in_']}), "
          f"pandas {rows[0][1]['pandas']['version']}")
    print()
    header = f"{'engine':<11} {'signals':>9} {'passing':>9} {'first ms':>10} {'median ms':>10} {'vs brindlecap':>14}"
    print(header)
    print("-" * len(header))
    for n, results in rows:
        base = results["brindlecap"]["median_ms"]
        for engine in ENGINES:
            r = results[engine]
            print(f"{engine:<11} {n:>9} {r['passing']:>9} {r['first_ms']:>10.2f} {r['median_ms']:>10.2f} "
                  f"{r['median_ms'] / base:>13.2f}x")
        share = results["brindlecap"]["passing"] / n
        digest = hashlib.sha256(results["brindlecap"]["ids"]).hexdigest()[:16]
        same = "identical" if all(results[e]["ids"] == results["brindlecap"]["ids"] for e in ENGINES) else "DIFFERENT"
        print(f"  {share:.2%} pass; ids {same} across engines (sha256 {digest}...); DuckDB before converting "
              f"the ids to JavaScript strings: {results['duckdb']['engine_ms']:.1f} ms "
              f"({results['duckdb']['engine_ms'] / base:.2f}x)")
    print()
    print("brindlecap's first call (the identifiers' order built there; the pool is born column-wise) and memory:")
    for n, results in rows:
        b = results["brindlecap"]
        print(f"  {n:>9}: first call {b['first_ms']:.1f} ms, later calls {b['median_ms']:.2f} ms (median); pool "
              f"{b['pool_bytes_per_signal']:.0f} B/signal, columns of the three fields and the order "
              f"{b['column_bytes_per_signal']:.0f} B/signal")
    print()
    print("loading (not timed above):")
    for n, results in rows:
        b = results["brindlecap"]
        print(f"  {n:>9}: brindlecap pool.json {b['file_MB']:.0f} MB read into a pool in {b['parse_ms']:.0f} ms "
              f"({b['parse_MB_per_s']:.0f} MB/s; {b['load_MB_per_cpu_s']:.0f} MB per CPU second); "
              f"DuckDB CSV {results['duckdb']['load_ms']:.0f} ms; pandas CSV {results['pandas']['load_ms']:.0f} ms")
    if mismatch:
        print("\nFAILED: the engines returned different ids", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
