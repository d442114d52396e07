"""Verdicts inside researchers' own tests: brindlecap.testing and its pytest plugin."""
import os
import subprocess
import sys

import pytest

import brindlecap
import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.testing import assert_accepted, judge
from conftest import REPO

sys.path.insert(0, str(REPO / "examples"))
import my_ops  # noqa: E402


def test_assert_accepted_names_the_failed_check_and_shows_its_counterexample():
    judgement = assert_accepted(my_ops.above_median_gap, name="my_gap", reference=my_ops.above_median_gap_oracle,
                                skip_checks={8})
    assert judgement.accepted and judgement.counterexamples == []

    with pytest.raises(AssertionError) as failed:
        assert_accepted(my_ops.sloppy_above_median_gap, name="my_gap", reference=my_ops.above_median_gap_oracle,
                        skip_checks={8})
    assert str(failed.value).startswith("operator 'my_gap' rejected by correctness\n  correctness: Custom cases: 0/3")
    assert "      call: my_gap(field='is_sharpe', value=0.0)\n      test_010: {'is_sharpe': 0.0}\n" \
           "      expected: none\n      got: test_010" in str(failed.value)

    without = judge(my_ops.sloppy_above_median_gap, name="my_gap", skip_checks={8}, info_checks={2})
    assert without.accepted and without.failed_checks() == []
    assert "correctness (info, does not count)" in without.explain() and "pass reference=" in without.explain()
    strict = judge(my_ops.sloppy_gt, name="gt", strict=True, skip_checks={8})
    assert "strict_oracle" in strict.failed_checks() and fe.get_registered_plugins() == []


def test_the_pytest_plugin_gives_a_fixture_with_the_sessions_defaults(tmp_path):
    (tmp_path / "test_ops.py").write_text(
        f"import sys; sys.path.insert(0, {str(REPO / 'examples')!r}); import my_ops\n"
        "def test_gap(filtration_judge):\n"
        "    filtration_judge.assert_accepted(my_ops.sloppy_above_median_gap, name='my_gap',\n"
        "                                     reference=my_ops.above_median_gap_oracle)\n")
    done = subprocess.run([sys.executable, "-m", "pytest", "-p", "brindlecap.pytest_plugin", "--filtrations-skip", "8",
                           "-q", str(tmp_path)], capture_output=True, text=True, cwd=tmp_path,
                          env={**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(brindlecap.__file__))})
    assert done.returncode == 1, done.stdout + done.stderr
    assert "AssertionError: operator 'my_gap' rejected by correctness" in done.stdout
    assert "got: test_010" in done.stdout and "1 failed" in done.stdout
