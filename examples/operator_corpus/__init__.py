"""Corpora of Python filtration operators: realistic faulty ones (faulty_operators.FAULTY) and correct ones
written differently from the built-ins (correct_operators.CORRECT), for judging the judge."""
from dataclasses import dataclass
from typing import Any, Callable, NamedTuple


@dataclass(frozen=True)
class Entry:
    name: str  # the built-in it is judged as
    fn: Callable
    fault_class: str | None  # None: a correct operator
    description: str
    witness: Any = None  # faulty operators: how the fault shows (one of the records below)

    @property
    def id(self):
        return self.fn.__name__


# Rows are {signal id: metadata}; kids (combinators) are the children's id sets.
class Differs(NamedTuple):
    """Cases (rows, params[, kids]) run in this order through resolve_filtrations on one operator: at least one
    outcome (passing ids or error type) differs from the built-in's."""
    cases: tuple


class Direct(NamedTuple):
    """A direct call on the prepared field of `rows` (no dispatch in between) differs from the built-in's."""
    rows: dict
    params: dict


class Mutates(NamedTuple):
    """A call changes its parameters, its children's sets or the pool keys it was given."""
    rows: dict
    params: dict
    kids: list | None = None


class Racy(NamedTuple):
    """Concurrent calls with these parameters on large numeric pools diverge from sequential ones."""
    params: list


class Quadratic(NamedTuple):
    """Comparisons and hashes counted on growing inputs grow quadratically; `field` is "x" (numeric), "tags"
    (lists of strings) or None (combinators, children of half the pool)."""
    params: dict
    field: str | None = "x"


def differs(*cases):
    return Differs(cases)
