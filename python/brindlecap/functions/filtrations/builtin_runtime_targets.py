"""Filtration operators by module path and attribute name."""
from brindlecap import _native

_native.export(globals(), "builtin_runtime_targets")
