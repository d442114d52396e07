"""python -m brindlecap.filtrations: the command line with operators written in Python."""
import json
import subprocess
import sys

from conftest import REPO

OPS = str(REPO / "examples" / "my_ops.py")


def run(*args):
    done = subprocess.run([sys.executable, "-m", "brindlecap.filtrations", *args], capture_output=True, text=True,
                          cwd=REPO)
    return done.returncode, done.stdout, done.stderr


def test_python_operators_are_judged_like_the_tools_own():
    status, out, _ = run("evaluate", "--operator", f"gt={OPS}:sloppy_gt", "--skip", "8", "--json")
    verdict = json.loads(out)["operator_results"]
    assert status == 1 and list(verdict) == ["gt"] and not verdict["gt"]["accepted"]
    assert verdict["gt"]["checks"]["correctness"]["status"] == "fail"

    status, out, _ = run("evaluate", "--operator", f"{OPS}:gt", "--operators", "gt,lt", "--skip", "8")
    assert status == 0 and "2 of 2 operators accepted." in out


def test_bad_operator_names_are_bad_input():
    status, out, err = run("evaluate", "--operator", "no_such_module:gt")
    assert (status, out) == (2, "") and "cannot load operator 'no_such_module:gt': ModuleNotFoundError" in err
    status, _, err = run("evaluate", "--operator", "gt")
    assert status == 2 and "expects MODULE:ATTRIBUTE" in err


def test_reproducers_of_a_python_operator_replay_through_this_front_end(tmp_path):
    status, _, err = run("evaluate", "--operator", f"gt={OPS}:sloppy_gt", "--skip", "8", "--reproducers",
                         str(tmp_path), "--progress", "never")
    assert status == 1 and "3 reproducers written" in err
    readme = (tmp_path / "gt" / "correctness-1" / "README.md").read_text()
    replay = next(line for line in readme.splitlines() if line.startswith("Replay: "))[len("Replay: "):]
    done = subprocess.run(replay, shell=True, capture_output=True, text=True, cwd="/")
    # One signal, the one the sloppy gt lets through (it equals the target).
    assert done.returncode == 0 and done.stdout.startswith("1 of 1 signals pass gt\n  test_010\n")
