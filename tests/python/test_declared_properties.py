"""New operators judged by their declared properties, without an oracle (operator_corpus.declared): every fault
is caught by the strict check its row names, no correct operator is rejected by any; bad properties are refused
before the run, by their place (tests/data/cases/python_calls.jsonl, python_cli.jsonl)."""
import pytest

from brindlecap.testing import judge
from operator_corpus.declared import DECLARED

CANONICAL = set(range(1, 9))  # a new name without an oracle fails correctness; the strict checks are judged here
TIMED = {"strict_threads", "strict_growth"}  # their findings come and go with the machine's load


@pytest.mark.parametrize("entry", DECLARED, ids=lambda e: e.id)
def test_declared_properties_catch_faults_and_accept_correct_operators(entry):
    judged = judge(entry.fn, name="my_op", strict=True, properties=entry.properties, skip_checks=CANONICAL)
    failed = {check for check, o in judged.verdict.checks.items() if o.status == "fail"} - TIMED
    if entry.caught_by is None:
        assert failed == set(), judged.explain()
    else:
        assert entry.caught_by in failed, judged.explain()
