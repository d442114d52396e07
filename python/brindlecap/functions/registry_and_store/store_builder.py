"""FunctionStore, StoreEntry and build_default_store."""
from brindlecap import _native

_native.export(globals(), "store_builder")
