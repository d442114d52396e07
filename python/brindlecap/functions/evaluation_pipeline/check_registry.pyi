"""The check registry service: canonical checks per family and the shared check bodies."""
from dataclasses import dataclass
from typing import Any, Callable

@dataclass
class SharedCheckResult:
    """What a shared check body returns."""
    status: str | None
    evidence: dict[str, Any] = ...

def get_check_registry_entries(family: str) -> list[tuple[int, str]]:
    """(number, name) of the family's canonical checks, in order."""

def get_check_key_map(family: str) -> dict[int, str]:
    """Check number -> name for the family."""

def get_shared_check_body_map() -> dict[str, Callable[..., SharedCheckResult]]:
    """The shared check bodies by name."""
