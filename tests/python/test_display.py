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


def sloppy_run():
    store = build_default_store()
    store.register("gt", factory=lambda prepared, params: {s for s, v in prepared.values if v >= params["value"]})
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
    assert frames.diagnostics(result).to_dict("split")["data"] == [
        [0, "and_(2 children)", "and_", 54, False], [1, "gt(is_sharpe, 0.5)", "gt", 54, False],
        [1, "lt(is_turnover, 2)", "lt", 60, False]]

    with pytest.raises(SyntaxError) as error:  # where the problem is, as Python's own
        fe.parse_tree("and_(gt(a, 1),\n  my_op(b, 2))")
    assert (error.value.lineno, error.value.offset, error.value.text) == (2, 9, "  my_op(b, 2))")

    with pytest.raises(fe.EmptyFiltrationError, match=r"^0 signals pass the complete filter tree \(and_\)$") as caught:
        fe.resolve_filtrations(make_pool(ROWS), fe.parse_tree(STRICT), build_default_store())
    assert caught.value.filter_diagnostics[0] == fe.FilterDiagnostic("gt(is_sharpe, 0.5)", 54, "gt")  # children first
    table = frames.diagnostics(caught.value)
    assert table["passing"].tolist() == [0, 54, 0, 0, 0]
    assert table["node"].tolist()[2:] == ["or_(2 children)", "eq(signal_category, value)", "lt(is_turnover, 0.1)"]
    assert table["emptied"].tolist() == [False, False, False, True, True]  # the leaves selecting nothing
    assert caught.value._repr_html_().count("emptied the pool") == 2


def test_evaluation_results_show_the_matrix_and_the_failed_checks():
    result = sloppy_run()
    assert repr(result) == "FiltrationEvaluationResult(1 of 2 operators accepted; rejected: gt)"
    table = frames.verdicts(result)
    assert table["accepted"].to_dict() == {"gt": False, "lt": True} and len(table.columns) == 9
    assert table.loc["gt", "correctness"] == "fail" and table.loc["lt", "speed"] == "skip"


NOTEBOOK_CELLS = [  # each cell's last value is shown
    "import brindlecap.functions.filtrations_evaluation as fe\nfrom brindlecap import frames\nimport test_display as t",
    "fe.resolve_filtrations(t.make_pool(t.ROWS), fe.parse_tree('gt(is_sharpe, 5.35)'), fe.build_default_store())",
    "try:\n    fe.resolve_filtrations(t.make_pool(t.ROWS), fe.parse_tree('gt(is_sharpe, 9)'), fe.build_default_store())\n"
    "except fe.EmptyFiltrationError as e:\n    error = e\nerror",
    "run = t.sloppy_run()\nrun",
    "frames.verdicts(run)",
]


@pytest.mark.skipif(importlib.util.find_spec("nbconvert") is None or importlib.util.find_spec("ipykernel") is None,
                    reason="nbconvert or ipykernel is not installed (scripts/setup.sh installs them)")
def test_a_notebook_displays_the_results_as_html(tmp_path):
    kernel = tmp_path / "kernels" / "brindlecap-test"
    kernel.mkdir(parents=True)
    (kernel / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "brindlecap test", "language": "python"}))
    path = tmp_path / "display.ipynb"
    path.write_text(json.dumps({"nbformat": 4, "nbformat_minor": 5, "metadata": {}, "cells": [
        {"cell_type": "code", "metadata": {}, "execution_count": None, "outputs": [], "source": source, "id": f"c{i}"}
        for i, source in enumerate(NOTEBOOK_CELLS)]}))
    env = dict(os.environ, JUPYTER_PATH=str(tmp_path), PYTHONPATH=f"{REPO / 'python'}:{REPO / 'tests' / 'python'}")
    subprocess.run([sys.executable, "-m", "nbconvert", "--to", "notebook", "--execute", "--inplace",
                    "--ExecutePreprocessor.kernel_name=brindlecap-test", str(path)], check=True, env=env, cwd=tmp_path)
    html = ["".join(o["data"]["text/html"]) for cell in json.loads(path.read_text())["cells"]
            for o in cell["outputs"] if "text/html" in o.get("data", {})]
    assert len(html) == 4
    assert "6 of 60 signals pass" in html[0] and "s054" in html[0]
    assert "<code>gt(is_sharpe, 9)</code> <span class=\"bc-fail\">&larr; emptied the pool" in html[1]
    assert "1 of 2 operators accepted" in html[2] and "<code>gt</code> / correctness: Correctness check" in html[2]
    assert "<th>accepted</th>" in html[3] and "<td>False</td>" in html[3]
