"""The check registry service: canonical checks per family and the shared check bodies."""
from brindlecap import _native

_native.export(globals(), "check_registry")
