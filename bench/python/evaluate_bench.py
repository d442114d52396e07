"""_evaluate from Python: all eight checks on the sixteen built-ins over the demo signal set
(default configuration, mock mode), as bench/evaluate_bench.cpp runs evaluate from C++.

    PYTHONPATH=python /usr/bin/python3 bench/python/evaluate_bench.py [--repeat 5]
"""
import argparse
import json
import pathlib
import statistics
import time

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.functions.registry_and_store.store_builder import build_default_store

DEMO = pathlib.Path(__file__).resolve().parents[2] / "tests" / "data" / "golden" / "demo_signals.json"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    signals = json.loads(DEMO.read_text())
    store = build_default_store()
    wall, cpu = [], []
    for _ in range(args.repeat):
        config = fe.FiltrationEvaluationConfig(mode="mock", mock_signals=signals)
        start, start_cpu = time.perf_counter(), time.thread_time()
        result = fe._evaluate(config, None, store)
        wall.append(time.perf_counter() - start)
        cpu.append(time.thread_time() - start_cpu)
    accepted = sum(r.accepted for r in result.operator_results.values())
    print(f"_evaluate from Python, {len(result.operator_results)} operators ({accepted} accepted), "
          f"{config.N_signals} signals, {args.repeat} runs: wall median {statistics.median(wall) * 1e3:.0f} ms "
          f"(min {min(wall) * 1e3:.0f}), CPU of the calling thread median {statistics.median(cpu) * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
