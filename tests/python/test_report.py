"""Reproducers and the HTML report from Python."""
import json

import pytest

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.report import RunRecorder, write_html_report, write_reproducers
from conftest import mock_config, store_of


def test_a_sloppy_operator_gets_shrunk_reproducers_and_a_report(demo_signals, tmp_path):
    store = store_of(gt=lambda prepared, params: {sid for sid, v in prepared.values if v >= params["value"]})
    with RunRecorder() as recorder:
        result = fe._evaluate(mock_config(demo_signals, skip_checks={8}), None, store)
    assert not result.operator_results["gt"].accepted
    observations = recorder.observations()
    assert observations.disagreement_count == 3  # one per parameter set of the correctness check

    folders = write_reproducers(observations, str(tmp_path / "repro"), "replay {pool} {tree}")
    first = folders[0]
    assert (first.check, first.signals, first.extra, first.missing) == ("correctness", 1, ["test_010"], [])
    assert json.loads((tmp_path / "repro" / "gt" / "correctness-1" / "pool.json").read_text()) == {
        "test_010": {"is_sharpe": 0.0}}
    assert first.replay.startswith("replay ")

    # A directory of the user's own is refused, and left as it was.
    (tmp_path / "mine").mkdir()
    (tmp_path / "mine" / "gt").mkdir()
    with pytest.raises(FileExistsError, match="refusing to write reproducers into '.*mine': it is not empty"):
        write_reproducers(observations, str(tmp_path / "mine"), "replay {pool} {tree}")
    assert [p.name for p in (tmp_path / "mine").iterdir()] == ["gt"] and not any((tmp_path / "mine" / "gt").iterdir())

    page = tmp_path / "report.html"
    write_html_report(str(page), result, observations, folders, source="demo")
    html = page.read_text()
    assert "correctness-1" in html and "<svg" in html
    assert "href=\"http" not in html and "src=" not in html  # self-contained
