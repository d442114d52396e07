"""filtration: the intersection of its children, or every signal with select_all."""
from brindlecap import _native

_native.export(globals(), "wrapper")
