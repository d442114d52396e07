"""Filter trees over signal pools (resolve_filtrations, parse_tree), product filtrations, metadata
flattening and the acceptance pipeline of filtration operators (evaluate), implemented in C++."""
from inspect import signature as _signature

from brindlecap import _display, _native
from brindlecap.functions.evaluation_pipeline import check_registry as _check_registry

_native.export(globals(), "filtrations_evaluation")
_display.install(_native.filtrations_evaluation)

# Their __init__ is the library's: inspect reads the class's signature from here.
for _error in (EmptyFiltrationError, EmptyPoolError):
    _error.__signature__ = _signature(_error.__init__).replace(
        parameters=list(_signature(_error.__init__).parameters.values())[1:])
