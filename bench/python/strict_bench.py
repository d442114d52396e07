"""The strict profile's six checks alone (the canonical eight skipped): over the sixteen built-ins, and
over each Python operator of examples/operator_corpus/correct.py, on the demo signal set. Prints the
wall time of each run and the slowest check of the slowest Python operator.

    PYTHONPATH=python:examples /usr/bin/python3 bench/python/strict_bench.py [--repeat 3]
"""
import argparse
import json
import pathlib
import statistics
import time

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.functions.registry_and_store.store_builder import FunctionStore, build_default_store
from operator_corpus.correct import CORRECT

DEMO = pathlib.Path(__file__).resolve().parents[2] / "tests" / "data" / "golden" / "demo_signals.json"
CANONICAL = set(range(1, 9))


def timed(store, signals, names=None):
    config = fe.FiltrationEvaluationConfig(mode="mock", mock_signals=signals, skip_checks=CANONICAL)
    start = time.perf_counter()
    result = fe._evaluate(config, names, store)
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    signals = json.loads(DEMO.read_text())
    fe.register_strict_checks()
    builtins = [timed(build_default_store(), signals)[0] for _ in range(args.repeat)]
    print(f"sixteen built-ins, strict checks: median {statistics.median(builtins):.2f} s "
          f"(min {min(builtins):.2f}, {args.repeat} runs)")
    per_operator = []
    for entry in CORRECT:
        store = FunctionStore()
        store.register(entry.name, factory=entry.fn)
        per_operator.append((min(timed(store, signals)[0] for _ in range(args.repeat)), entry.id))
    times = sorted(t for t, _ in per_operator)
    slowest, name = max(per_operator)
    print(f"{len(times)} Python operators, one each, strict checks: median {statistics.median(times):.2f} s, "
          f"slowest {slowest:.2f} s ({name})")


if __name__ == "__main__":
    main()
