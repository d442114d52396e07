"""pytest plugin of brindlecap (entry point pytest11 "brindlecap", active once the package is
installed; `-p brindlecap.pytest_plugin` otherwise): the fixture `filtration_judge`.

    def test_my_gap(filtration_judge):
        filtration_judge.assert_accepted(my_gap, reference=my_gap_oracle)

--filtrations-seed and --filtrations-skip (check numbers, e.g. 8) set defaults for every call.
"""
import pytest

from brindlecap import testing


class FiltrationJudge:
    """brindlecap.testing's judge and assert_accepted with the session's defaults."""

    def __init__(self, **defaults):
        self.defaults = defaults

    def judge(self, operator, **kwargs):
        return testing.judge(operator, **{**self.defaults, **kwargs})

    def assert_accepted(self, operator, **kwargs):
        __tracebackhide__ = True
        return testing.assert_accepted(operator, **{**self.defaults, **kwargs})


def pytest_addoption(parser):
    group = parser.getgroup("brindlecap", "filtration operator verdicts")
    group.addoption("--filtrations-seed", type=int, default=None, help="seed of every filtration_judge call")
    group.addoption("--filtrations-skip", default=None,
                    help="check numbers filtration_judge skips, comma-separated (e.g. 8, the timing check)")


@pytest.fixture
def filtration_judge(request):
    defaults = {}
    seed = request.config.getoption("--filtrations-seed")
    if seed is not None:
        defaults["seed"] = seed
    skip = request.config.getoption("--filtrations-skip")
    if skip:
        defaults["skip_checks"] = {int(n) for n in skip.split(",")}
    return FiltrationJudge(**defaults)
