"""python -m brindlecap.filtrations: the command line with operators written in Python."""
import html
import json
import os
import re
import subprocess
import sys

import pytest

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


def test_a_file_is_loaded_as_a_module_of_its_own(tmp_path):
    # A dataclass under postponed annotations looks its module up in sys.modules.
    source = ("from __future__ import annotations\nimport dataclasses\n\n@dataclasses.dataclass\nclass Target:\n"
              "    value: float\n\ndef gt(prepared, params):\n    target = Target(params['value'] + {})\n"
              "    return {{sid for sid, v in prepared.values if v > target.value}}\n")
    for folder, shift in (("a", 0), ("b", 100)):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "ops.py").write_text(source.format(shift))
    status, out, err = run("resolve", "--operator", f"gt={tmp_path / 'a' / 'ops.py'}:gt", "--pool",
                           "examples/signals.json", "--tree", "gt(field=is_sharpe, value=0.5)")
    assert status == 0 and out.startswith("127 of 300 signals pass gt"), err

    # In process: two files of one name stay apart; one that fails to run leaves nothing behind.
    from brindlecap import filtrations
    a = filtrations._load(f"{tmp_path / 'a' / 'ops.py'}:gt")[1]
    b = filtrations._load(f"{tmp_path / 'b' / 'ops.py'}:gt")[1]
    assert a.__module__ != b.__module__ and sys.modules[b.__module__].Target(1.0).value == 1.0
    (tmp_path / "broken.py").write_text("import dataclasses\nraise ZeroDivisionError('at import')\n")
    before = set(sys.modules)
    with pytest.raises(ZeroDivisionError):
        filtrations._load(f"{tmp_path / 'broken.py'}:gt")
    assert set(sys.modules) == before


def test_a_type_error_in_a_python_operator_names_the_operator_field_and_signal(tmp_path):
    pool = tmp_path / "pool.json"
    pool.write_text(json.dumps({"s0": {"is_sharpe": 1.0}, "s1": {"is_sharpe": "abc"}, "s2": {"is_sharpe": 2.0}}))
    status, out, err = run("resolve", "--operator", f"{OPS}:gt", "--pool", str(pool), "--tree",
                           "gt(field=is_sharpe, value=0.5)")
    assert (status, out) == (2, "")
    assert ("(operator gt, field 'is_sharpe', signal 's1' holding 'abc'): TypeError: '>' not supported between "
            "instances of 'str' and 'float'") in err


def test_replay_and_repeat_commands_work_pasted_into_a_fresh_shell(tmp_path):
    # Run as the README does: from the repository, PYTHONPATH=python, paths relative to it.
    relative = os.path.relpath(tmp_path, REPO)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run([sys.executable, "-m", "brindlecap.filtrations", "evaluate", "--operator",
                           "gt=examples/my_ops.py:sloppy_gt", "--skip", "8", "--reproducers", f"{relative}/repro",
                           "--html", f"{relative}/report.html", "--progress", "never"],
                          capture_output=True, text=True, cwd=REPO, env={**env, "PYTHONPATH": "python"})
    assert done.returncode == 1 and "3 reproducers written" in done.stderr, done.stderr

    # The replay command, from any directory, without PYTHONPATH.
    readme = (tmp_path / "repro" / "gt" / "correctness-1" / "README.md").read_text()
    replay = next(line for line in readme.splitlines() if line.startswith("Replay: "))[len("Replay: "):]
    replayed = subprocess.run(replay, shell=True, capture_output=True, text=True, cwd="/", env=env)
    # One signal, the one the sloppy gt lets through (it equals the target).
    assert replayed.returncode == 0 and replayed.stdout.startswith("1 of 1 signals pass gt\n  test_010\n"), replay

    # The report's command repeats the run: the same operator, rejected again.
    page = (tmp_path / "report.html").read_text()
    command = html.unescape(re.search(r'<pre id="command"><code>(.*?)</code>', page).group(1))
    assert "--operator gt=examples/my_ops.py:sloppy_gt" in command
    repeated = subprocess.run(command, shell=True, capture_output=True, text=True, cwd=REPO, env=env)
    assert repeated.returncode == 1 and "0 of 1 operators accepted; rejected: gt." in repeated.stdout, command


def test_help_lists_operator_and_mistyped_options_get_the_closest_name():
    for command in ("evaluate", "resolve"):
        status, out, _ = run(command, "--help")
        assert status == 0 and re.search(r"--operator SPEC\b", out), out
    for args, hint in ((["evaluate", "--operater", f"gt={OPS}:gt"], "--operator"), (["evaluate", "--sead", "3"], "--seed")):
        status, out, err = run(*args)
        assert (status, out) == (2, "") and f"did you mean '{hint}'?" in err, err


def test_pip_installs_the_front_end_as_the_filtrations_script():
    import importlib
    import tomllib
    target = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["scripts"]["filtrations"]
    module, _, attribute = target.partition(":")
    assert getattr(importlib.import_module(module), attribute)(["--version"]) == 0
