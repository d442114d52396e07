"""Verdicts inside researchers' own tests: brindlecap.testing, its pytest plugin, and a new operator
judged from the command line against its oracle, whose reproducers replay as one call."""
import os
import shlex
import subprocess
import sys

import pytest

import brindlecap
import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.testing import assert_accepted, judge
from conftest import REPO

sys.path.insert(0, str(REPO / "examples"))
import my_ops  # noqa: E402

OPS = str(REPO / "examples" / "my_ops.py")


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


def test_a_new_operators_reproducers_replay_as_one_call(tmp_path):
    repro = tmp_path / "repro"
    done = subprocess.run([sys.executable, "-m", "brindlecap.filtrations", "evaluate", "--operator",
                           f"my_gap={OPS}:sloppy_above_median_gap", "--reference",
                           f"my_gap={OPS}:above_median_gap_oracle", "--skip", "8", "--reproducers", str(repro)],
                          capture_output=True, text=True, cwd=REPO)
    assert done.returncode == 1, done.stderr
    assert "    counterexample (custom case 1 of 3), 1 signal shrunk from 25:" in done.stdout
    readme = (repro / "my_gap" / "correctness-1" / "README.md").read_text()
    replay = next(line[len("Replay: "):] for line in readme.splitlines() if line.startswith("Replay: "))
    assert " replay --operator " in replay
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    again = subprocess.run(replay, shell=True, capture_output=True, text=True, cwd=tmp_path, env=env)
    assert (again.returncode, again.stdout) == (0, "1 of 1 signals selected by my_gap\n  test_010\n"), again.stderr

    # A strict law broken: the counterexample shows the law's second call, the replay says it fails.
    (tmp_path / "ops.py").write_text("def and_(keys, params, children):\n"
                                     "    return set(children[0]) & set(children[1]) if len(children) > 1 else set(children[0])\n")
    strict = subprocess.run([sys.executable, "-m", "brindlecap.filtrations", "evaluate", "--operator",
                             f"and_={tmp_path / 'ops.py'}:and_", "--strict", "--skip", "8", "--reproducers",
                             str(tmp_path / "laws")], capture_output=True, text=True, cwd=REPO)
    assert strict.returncode == 1 and "      relation: " in strict.stdout, strict.stdout + strict.stderr
    readme = next((tmp_path / "laws" / "and_").glob("strict_relations-1")) / "README.md"
    replay = next(line[len("Replay: "):] for line in readme.read_text().splitlines() if line.startswith("Replay: "))
    again = subprocess.run(replay, shell=True, capture_output=True, text=True, cwd=tmp_path, env=env)
    assert again.returncode == 1 and again.stdout.endswith("does not hold\n"), again.stdout + again.stderr

    status = subprocess.run([sys.executable, "-m", "brindlecap.filtrations", "evaluate", "--reference", "my_gap"],
                            capture_output=True, text=True, cwd=REPO)
    assert status.returncode == 2 and "--reference expects NAME=MODULE:ATTRIBUTE" in status.stderr
