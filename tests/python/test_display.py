"""What a notebook shows of the results: short reprs, HTML, DataFrames."""
import importlib.util
import json
import os
import subprocess
import sys
import warnings

import pytest

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap import frames
from brindlecap.functions.registry_and_store.store_builder import build_default_store
from conftest import REPO, make_pool, mock_config

ROWS = {f"s{i:03d}": {"is_sharpe": i / 10, "is_turnover": 1 - i / 100, "signal_category": "momentum"} for i in range(60)}
STRICT = "and_(gt(is_sharpe, 0.5), or_(eq(signal_category, value), lt(is_turnover, 0.1)))"


def sloppy_gt(prepared, params):
    return {sid for sid, value in prepared.values if value >= params["value"]}


def sloppy_run():
    store = build_default_store()
    store.register("gt", factory=sloppy_gt)
    config = mock_config(dict(ROWS), skip_checks={8})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # the rows lack fields the demo signals have
        return fe.evaluate(config, [fe.EvalFiltrationConfig("gt"), fe.EvalFiltrationConfig("lt")], store)


def test_results_show_counts_first_ids_and_the_node_that_emptied_the_pool():
    result = fe.resolve_filtrations(make_pool(ROWS), fe.parse_tree("and_(gt(is_sharpe, 0.5), lt(is_turnover, 2))"),
                                    build_default_store())
    assert repr(result) == ("FiltrationResult(54 of 60 signals pass and_: ['s006', 's007', 's008', 's009', 's010', "
                            "... (49 more)]; 3 nodes)")
    page = result._repr_html_()
    assert "54 of 60 signals pass" in page and "s025" in page and "s026" not in page and "emptied" not in page
    table = frames.diagnostics(result)
    assert table.to_dict("list") == {"depth": [0, 1, 1], "node": ["and_(2 children)", "gt(is_sharpe, 0.5)",
                                                                  "lt(is_turnover, 2)"],
                                     "operator": ["and_", "gt", "lt"], "passing": [54, 54, 60],
                                     "emptied": [False, False, False]}

    with pytest.raises(fe.EmptyFiltrationError) as caught:
        fe.resolve_filtrations(make_pool(ROWS), fe.parse_tree(STRICT), build_default_store())
    table = frames.diagnostics(caught.value)
    assert table["node"].tolist()[2:] == ["or_(2 children)", "eq(signal_category, value)", "lt(is_turnover, 0.1)"]
    assert table["emptied"].tolist() == [False, False, False, True, True]  # the leaves selecting nothing
    assert caught.value._repr_html_().count("emptied the pool") == 2


def test_evaluation_results_show_the_matrix_and_the_failed_checks():
    result = sloppy_run()
    assert repr(result) == "FiltrationEvaluationResult(1 of 2 operators accepted; rejected: gt)"
    page = result._repr_html_()
    assert "1 of 2 operators accepted" in page and "FAIL" in page and "Failed checks" in page
    assert "correctness: Correctness check for gt: 0/3" in page
    table = frames.verdicts(result)
    assert table["accepted"].to_dict() == {"gt": False, "lt": True}
    assert table.loc["gt", "correctness"] == "fail" and table.loc["lt", "speed"] == "skip"
    assert list(table.columns)[-1] == "accepted" and len(table.columns) == 9


NOTEBOOK_CELLS = [
    "import brindlecap.functions.filtrations_evaluation as fe\n"
    "from brindlecap import frames\n"
    "import test_display as t\n"
    "store = fe.build_default_store()",
    "fe.resolve_filtrations(t.make_pool(t.ROWS), fe.parse_tree('gt(is_sharpe, 5.35)'), store)",
    "try:\n    fe.resolve_filtrations(t.make_pool(t.ROWS), fe.parse_tree('and_(gt(is_sharpe, 9), lt(is_turnover, 0.2))'),"
    " store)\nexcept fe.EmptyFiltrationError as e:\n    error = e\nerror",
    "t.sloppy_run()",
    "frames.verdicts(t.sloppy_run())",
]


@pytest.mark.skipif(importlib.util.find_spec("nbconvert") is None or importlib.util.find_spec("ipykernel") is None,
                    reason="nbconvert or ipykernel is not installed (scripts/setup.sh installs them)")
def test_a_notebook_displays_the_results_as_html(tmp_path):
    kernel = tmp_path / "kernels" / "brindlecap-test"
    kernel.mkdir(parents=True)
    (kernel / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "brindlecap test", "language": "python"}))
    notebook = {"nbformat": 4, "nbformat_minor": 5, "metadata": {}, "cells": [
        {"cell_type": "code", "metadata": {}, "execution_count": None, "outputs": [], "source": source, "id": f"c{i}"}
        for i, source in enumerate(NOTEBOOK_CELLS)]}
    path = tmp_path / "display.ipynb"
    path.write_text(json.dumps(notebook))
    env = dict(os.environ, JUPYTER_PATH=str(tmp_path),
               PYTHONPATH=os.pathsep.join([str(REPO / "python"), str(REPO / "tests" / "python")]))
    subprocess.run([sys.executable, "-m", "nbconvert", "--to", "notebook", "--execute", "--inplace",
                    "--ExecutePreprocessor.kernel_name=brindlecap-test", str(path)],
                   check=True, env=env, capture_output=True, cwd=tmp_path)
    outputs = [cell["outputs"] for cell in json.loads(path.read_text())["cells"]]
    html = ["".join(o["data"]["text/html"]) for cell in outputs[1:] for o in cell if "text/html" in o.get("data", {})]
    assert len(html) == 4
    assert "6 of 60 signals pass" in html[0] and "s054" in html[0]
    assert "emptied the pool" in html[1] and "<code>and_(2 children)</code>" in html[1]
    assert "1 of 2 operators accepted" in html[2] and "gt</code> / correctness" in html[2]
    assert "<th>accepted</th>" in html[3] and "<table" in html[3]
