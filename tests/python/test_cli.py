"""python -m brindlecap.filtrations: the command line with operators written in Python."""
import html
import json
import os
import re
import subprocess
import sys

import pytest

from conftest import REPO, cases



def run(*args):
    done = subprocess.run([sys.executable, "-m", "brindlecap.filtrations", *args], capture_output=True, text=True,
                          cwd=REPO)
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize("case", cases("python_cli.jsonl"))
def test_command_lines_from_the_table(case, tmp_path):
    for name, text in case.get("files", {}).items():
        (tmp_path / name).write_text(text)
    status, out, err = run(*(re.sub(r"%([\w.]+)%", lambda m: str(tmp_path / m.group(1)), a) for a in case["args"]))
    assert status == case["exit"] and out == case.get("stdout", out), (out, err)
    missing = [p for p in case.get("out", []) if p not in out] + [p for p in case.get("err", []) if p not in err]
    assert missing == [], (out, err)

    def at(key):
        value = json.loads(out)
        for part in key.split("."):
            value = value[part]
        return value
    assert {k: at(k) for k in case.get("json", {})} == case.get("json", {})
    assert {k: list(at(k)) for k in case.get("json_keys", {})} == case.get("json_keys", {})
    assert [k for k, part in case.get("json_has", {}).items() if part not in at(k)] == []


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


def test_replay_and_repeat_commands_work_pasted_into_a_fresh_shell(tmp_path):
    # Run as the README does: from the repository, PYTHONPATH=python, paths relative to it; a new operator
    # (my_gap) judged against its oracle, whose reproducers replay as one call.
    relative = os.path.relpath(tmp_path, REPO)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run([sys.executable, "-m", "brindlecap.filtrations", "evaluate", "--operator",
                           "gt=examples/my_ops.py:sloppy_gt", "--operator",
                           "my_gap=examples/my_ops.py:sloppy_above_median_gap", "--reference",
                           "my_gap=examples/my_ops.py:above_median_gap_oracle", "--skip", "8", "--reproducers",
                           f"{relative}/repro", "--html", f"{relative}/report.html", "--progress", "never"],
                          capture_output=True, text=True, cwd=REPO, env={**env, "PYTHONPATH": "python"})
    assert done.returncode == 1 and "6 reproducers written" in done.stderr, done.stderr
    assert "    counterexample (custom case 1 of 3), 1 signal shrunk from 25:" in done.stdout

    # The replay commands, from any directory, without PYTHONPATH: one signal, the one the sloppy operators let
    # through (it equals the target).
    for name, shown in (("gt", "1 of 1 signals pass gt\n  test_010\n"),
                        ("my_gap", "1 of 1 signals selected by my_gap\n  test_010\n")):
        readme = (tmp_path / "repro" / name / "correctness-1" / "README.md").read_text()
        replay = next(line for line in readme.splitlines() if line.startswith("Replay: "))[len("Replay: "):]
        replayed = subprocess.run(replay, shell=True, capture_output=True, text=True, cwd="/", env=env)
        assert replayed.returncode == 0 and replayed.stdout.startswith(shown), (replay, replayed.stderr)
    assert " replay --operator " in replay  # my_gap's: the one operator called, no evaluation

    # The report's command repeats the run: the same operators, rejected again.
    page = (tmp_path / "report.html").read_text()
    command = html.unescape(re.search(r'<pre id="command"><code>(.*?)</code>', page).group(1))
    assert "--operator gt=examples/my_ops.py:sloppy_gt" in command
    repeated = subprocess.run(command, shell=True, capture_output=True, text=True, cwd=REPO, env=env)
    assert repeated.returncode == 1 and "0 of 2 operators accepted; rejected: gt, my_gap." in repeated.stdout, command


def test_pip_installs_the_front_end_as_the_filtrations_script():
    import importlib
    import tomllib
    target = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["scripts"]["filtrations"]
    module, _, attribute = target.partition(":")
    assert getattr(importlib.import_module(module), attribute)(["--version"]) == 0
