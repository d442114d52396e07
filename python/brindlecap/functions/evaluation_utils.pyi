"""Check outcomes, plug-in checks, the base evaluation configuration and the signal metadata store."""
import os
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Mapping

from brindlecap.functions.filtrations_evaluation import UsefulSignal

@dataclass
class CheckOutcome:
    """Outcome of one evaluation check."""
    status: str = ...
    details: str = ...
    evidence: dict[str, Any] = ...

@dataclass
class BaseEvaluationConfig:
    """Settings every evaluation harness shares."""
    mode: str | None = ...
    seed: int = ...
    skip_checks: set[int] = ...
    info_checks: set[int] = ...

class EvaluationCheckPlugin:
    """A check an application adds to every evaluation: subclasses set `name` and implement validate."""
    name: str
    data_type: Any
    def validate(self, op_impl: Callable[..., Any], pool: dict[str, UsefulSignal],
                 config: BaseEvaluationConfig) -> CheckOutcome: ...

def query_signal_metadata(signal_ids: Iterable[str], market_id: int | None,
                          era_number: int | None) -> dict[str, dict[str, Any]]:
    """Metadata of the requested signals found in the configured SQLite store (id -> dict)."""

def configure_signal_metadata_store(path: str | os.PathLike[str] | None) -> None:
    """The SQLite file query_signal_metadata reads (None: not configured)."""

def create_signal_metadata_store(path: str | os.PathLike[str],
                                 rows: Iterable[tuple[str, int, int, Mapping[str, Any] | str]] = ()) -> None:
    """Creates the store's file and table when missing and inserts or replaces rows of (signal_id,
    market_id, era_number, metadata as a mapping or JSON text)."""
