import copy
import json
import pathlib
import sys

import numpy as np
import pytest

import brindlecap.functions.filtrations_evaluation as fe
from brindlecap.functions.registry_and_store.store_builder import FunctionStore

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "examples"))  # the operator corpora (examples/operator_corpus)


def make_pool(metadata_by_id, shape=(2, 3)):
    return {sid: fe.UsefulSignal(weights=np.zeros(shape), pnl=None, metadata=md) for sid, md in metadata_by_id.items()}


def mock_config(signals, **settings):
    return fe.FiltrationEvaluationConfig(mode="mock", mock_signals=signals, **settings)


def store_of(**operators):
    store = FunctionStore()
    for name, operator in operators.items():
        store.register(name, factory=operator)
    return store


def cases(name):
    """The cases of tests/data/cases/NAME, one JSON object a line ('#' lines and blank ones skipped),
    as pytest parameters named by their file and line."""
    lines = (DATA / "cases" / name).read_text().splitlines()
    return [pytest.param(json.loads(line), id=f"{name}:{number}") for number, line in enumerate(lines, 1)
            if line.strip() and not line.startswith("#")]


@pytest.fixture(scope="session")
def demo_signals():
    return json.loads((DATA / "golden" / "demo_signals.json").read_text())


@pytest.fixture
def pool(demo_signals):
    return make_pool(copy.deepcopy(demo_signals))


@pytest.fixture(autouse=True)
def no_plugins():
    fe.clear_check_plugins()
    yield
    fe.clear_check_plugins()
