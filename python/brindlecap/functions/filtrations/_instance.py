"""FiltrationInstance."""
from brindlecap import _native

_native.export(globals(), "_instance")
