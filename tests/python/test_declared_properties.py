"""New operators judged by their declared properties, without an oracle (operator_corpus.declared): every fault
is caught by the strict check its row names, no correct operator is rejected by any; bad properties are refused
before the run, by their place, from Python and from the command line."""
import json
import subprocess
import sys

import pytest

from brindlecap.testing import judge
from conftest import REPO
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


@pytest.mark.parametrize("properties, error, message", [
    ("numeric,pointwize", ValueError, r"properties\['my_op'\]\[1\]: unknown property 'pointwize'"),
    (["list", "monotone=up"], ValueError, r"properties\['my_op'\]\[1\]: monotone takes increasing or decreasing"),
    (["rank_pct", "complement=gt"], ValueError, r"\[1\]: complement: a rank_pct operator selects by position"),
    ({"my_op": ["numeric", 3]}, TypeError, r"properties\['my_op'\] must be a list of str, got an item of type int"),
    (3, TypeError, r"properties must be a list of str"),
])
def test_bad_properties_are_refused_by_their_place(properties, error, message):
    with pytest.raises(error, match=message):
        judge(DECLARED[0].fn, name="my_op", strict=True, properties=properties, skip_checks=CANONICAL)


def run(*args):
    done = subprocess.run([sys.executable, "-m", "brindlecap.filtrations", "evaluate", "--strict",
                           "--skip", "1,2,3,4,5,6,7,8", "--operator",
                           "my_op=examples/operator_corpus/declared.py:has_all_tags", *args],
                          capture_output=True, text=True, cwd=REPO)
    return done.returncode, done.stdout, done.stderr


def test_the_command_line_takes_properties_and_refuses_bad_ones():
    status, out, _ = run("--property", "my_op=list", "--property", "my_op=monotone=increasing", "--json")
    result = json.loads(out)
    assert status == 1 and result["config"]["properties"] == {"my_op": ["list", "monotone=increasing"]}
    assert result["operator_results"]["my_op"]["checks"]["strict_relations"]["status"] == "fail"

    status, out, err = run("--property", "my_op=list,complement=nope")
    assert status == 2 and out == ""
    assert "properties['my_op'][1]: complement=nope: not a built-in, and no oracle" in err
    status, _, err = run("--property", "my_op")
    assert status == 2 and "--property expects NAME=PROP[,PROP...], got 'my_op'" in err

    # Neither an oracle nor properties: the strict checks skip, saying how to give either.
    status, out, _ = run("--json")
    relations = json.loads(out)["operator_results"]["my_op"]["checks"]["strict_relations"]
    assert relations["status"] == "skip" and "--property my_op=PROP" in relations["details"]
