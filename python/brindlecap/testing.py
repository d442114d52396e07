"""Verdicts of the acceptance pipeline inside a researcher's own tests.

    from brindlecap.testing import assert_accepted, judge

    def test_my_gap():
        assert_accepted(my_gap, name="my_gap", reference=my_gap_oracle, skip_checks={8})

assert_accepted raises AssertionError naming the failed checks, each with its details and the
failing comparison shrunk to a small pool (the call, its signals, expected against got). judge
returns the Judgement without asserting. Keywords other than those named below are fields of
FiltrationEvaluationConfig (seed, skip_checks, info_checks, N_trials, ...).
"""
from __future__ import annotations

import dataclasses

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap import report
from brindlecap.functions.registry_and_store.store_builder import FunctionStore

__all__ = ["Judgement", "judge", "assert_accepted"]


@dataclasses.dataclass
class Judgement:
    """One operator's verdict, the counterexamples of its failed checks and the run's result."""

    name: str
    result: object  # FiltrationEvaluationResult
    counterexamples: list  # report.Counterexample, one per failed check that has one

    @property
    def verdict(self):
        return self.result.operator_results[self.name]

    @property
    def accepted(self) -> bool:
        return self.verdict.accepted

    def failed_checks(self) -> list[str]:
        """The checks that failed and count for acceptance (info checks left out)."""
        info = _info_check_names(self.result.config)
        return [check for check, outcome in self.verdict.checks.items() if outcome.status == "fail" and check not in info]

    def explain(self) -> str:
        """The verdict, then every failed check: its details, its counterexample, and how to give
        an oracle when it had none."""
        counted = self.failed_checks()
        lines = [f"operator {self.name!r} " + ("accepted" if self.accepted else "rejected by " + ", ".join(counted))]
        for check, outcome in self.verdict.checks.items():
            if outcome.status != "fail":
                continue
            lines.append(f"  {check}{'' if check in counted else ' (info, does not count)'}: {outcome.details}")
            for example in self.counterexamples:
                if example.operator_name == self.name and example.check == check:
                    lines.append(report.counterexample_text(example, "    ").rstrip("\n"))
            if outcome.evidence.get("missing_correctness_oracle"):
                lines.append(f"    no oracle for {self.name!r}: pass reference=<its oracle> or test_cases=[...] "
                             "(on the command line: --reference NAME=MODULE:ATTRIBUTE or --test-cases FILE); "
                             "the strict checks also go by properties=[...] it declares (--property NAME=PROP,...)")
        return "\n".join(lines)


def _info_check_names(config) -> set[str]:
    names = {name for number, name in fe.get_check_registry_entries("filtration") if number in config.info_checks}
    plugins = fe.get_registered_plugins()
    first = max((number for number, _ in fe.get_check_registry_entries("filtration")), default=0) + 1
    names |= {p.name for i, p in enumerate(plugins) if first + i in config.info_checks}
    return names


def _default_signals(seed: int) -> dict:
    demo = fe._generate_synthetic_signals(fe.FiltrationEvaluationConfig(N_signals=24, seed=seed))
    return {sid: dict(signal.metadata) for sid, signal in demo.items()}


def judge(operator, name: str | None = None, reference=None, strict: bool = False, *, test_cases=None,
          properties=None, signals: dict | None = None, data_type=None, **config) -> Judgement:
    """Judges one operator (a callable in its calling form) under `name` (default: its __name__).

    reference: its oracle; the correctness check's cases are the oracle's selections.
    test_cases: correctness cases of its own (dicts with pool, params, expected, children_results);
        with a reference, a case without expected gets the oracle's selection.
    properties: its declared properties, a list of str or one comma-separated str ("numeric,pointwise,
        complement=lte"; the vocabulary is the tool's --property), or a dict of operator name to those:
        without a reference, the strict checks draw its inputs and relations from them. ValueError naming
        a bad one, before the run.
    signals: {signal id: metadata} to build the checks' pools from (default: 24 synthetic signals).
    strict: the strict profile's checks too (registered for this call unless they already are).
    """
    name = name or getattr(operator, "__name__", None)
    if not name:
        raise ValueError("judge() needs name= for an operator without __name__")
    seed = config.get("seed", 0)
    store = FunctionStore()
    store.register(name, factory=operator, data_type=data_type)
    references = dict(config.pop("references", None) or {})
    if reference is not None:
        references[name] = reference
    if properties is None or isinstance(properties, dict):
        declared = dict(properties or {})
    elif isinstance(properties, (str, list, tuple)):
        declared = {name: properties}
    else:
        raise TypeError("properties must be a list of str, a comma-separated str or a dict of operator name to "
                        f"those, got {type(properties).__name__}")
    cfg = fe.FiltrationEvaluationConfig(mode="mock", mock_signals=signals if signals is not None else _default_signals(seed),
                                        references=references, properties=declared, **config)
    strict_here = strict and not set(fe.strict_check_names()) & {p.name for p in fe.get_registered_plugins()}
    if strict_here:
        fe.register_strict_checks()
    try:
        with report.RunRecorder() as recorder:
            result = fe.evaluate(cfg, [fe.EvalFiltrationConfig(name, test_cases)], store)
    finally:
        if strict_here:
            fe.unregister_strict_checks()
    judgement = Judgement(name, result, [])
    if not judgement.accepted or any(o.status == "fail" for o in judgement.verdict.checks.values()):
        judgement.counterexamples = report.shrink_counterexamples(recorder.observations())
    return judgement


def assert_accepted(operator, name: str | None = None, reference=None, strict: bool = False, **config) -> Judgement:
    """judge(...) (properties=... among the keywords), raising AssertionError that names the failed checks and
    shows their shrunk counterexamples when the operator is rejected."""
    judgement = judge(operator, name=name, reference=reference, strict=strict, **config)
    if not judgement.accepted:
        raise AssertionError(judgement.explain())
    return judgement
