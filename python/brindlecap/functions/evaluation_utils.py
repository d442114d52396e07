"""Check outcomes, plug-in checks, the base evaluation configuration and the signal metadata store."""
from brindlecap import _native

_native.export(globals(), "evaluation_utils")
