"""Reproducers and the HTML report of an acceptance run."""
from typing import Any

from brindlecap.functions.filtrations_evaluation import FiltrationEvaluationResult

class RunObservations:
    """What the checks of a recorded run reported."""
    @property
    def disagreement_count(self) -> int: ...

class RunRecorder:
    """Records, while the with-block runs, what the checks report."""
    def __init__(self) -> None: ...
    def __enter__(self) -> RunRecorder: ...
    def __exit__(self, *args: Any) -> None: ...
    def observations(self) -> RunObservations: ...

class Counterexample:
    """A failing comparison shrunk to a small pool: the call, its signals, expected against got."""
    @property
    def operator_name(self) -> str: ...
    @property
    def check(self) -> str: ...
    @property
    def label(self) -> str: ...
    @property
    def params(self) -> dict[str, Any]: ...
    @property
    def children(self) -> list[list[str]]: ...
    @property
    def pool(self) -> dict[str, dict[str, Any]]: ...
    @property
    def original_signals(self) -> int: ...
    @property
    def expectation(self) -> str: ...
    @property
    def expected(self) -> list[str] | None: ...
    @property
    def selected(self) -> list[str] | None: ...
    @property
    def error(self) -> str: ...
    @property
    def missing(self) -> list[str]: ...
    @property
    def extra(self) -> list[str]: ...
    @property
    def reproduced(self) -> bool: ...
    @property
    def detail(self) -> str:
        """A relation's second call ("relation: ...") or what the call changed ("changed: ..."), or ""."""

def shrink_counterexamples(observations: RunObservations) -> list[Counterexample]:
    """The first failing comparison of every (operator, check) that writes reproducers, shrunk."""

def counterexample_text(counterexample: Counterexample, indent: str = "") -> str:
    """The counterexample as lines of text, each starting with `indent`."""

def missing_oracle_hint(op_name: str) -> str:
    """What a failed correctness check of an operator without any oracle tells its reader."""

def write_junit_xml(path: str, result: FiltrationEvaluationResult, counterexamples: list[Counterexample] = ...) -> None:
    """JUnit XML of the run: a test suite per operator, a test case per check, a failure per failed check."""

class ReproducerFolder:
    """One folder written by write_reproducers."""
    @property
    def operator_name(self) -> str: ...
    @property
    def check(self) -> str: ...
    @property
    def label(self) -> str: ...
    @property
    def path(self) -> str: ...
    @property
    def signals(self) -> int: ...
    @property
    def original_signals(self) -> int: ...
    @property
    def missing(self) -> list[str]: ...
    @property
    def extra(self) -> list[str]: ...
    @property
    def error(self) -> str: ...
    @property
    def replay(self) -> str: ...
    @property
    def counterexample(self) -> Counterexample: ...

def write_reproducers(observations: RunObservations, directory: str,
                      replay_command: str = "filtrations resolve --pool {pool} --tree {tree}") -> list[ReproducerFolder]:
    """A folder per failing comparison, its pool shrunk.

    observations: a RunRecorder's observations.
    directory: new, empty, or written by an earlier call (FileExistsError otherwise).
    replay_command: the command each folder's README gives, {pool} and {tree} standing for its files.
    """

def write_html_report(path: str, result: FiltrationEvaluationResult, observations: RunObservations,
                      reproducers: list[ReproducerFolder] = ..., source: str = "", command: str = "") -> None:
    """One self-contained HTML page of the run.

    path: the page's file. result: what evaluate returned. observations: the recorder's.
    reproducers: write_reproducers' folders, linked from the page. source: where the signals came from.
    command: the command line that repeats the run.
    """
