"""and_, or_, not_: combinators of their children's results."""
from brindlecap import _native

_native.export(globals(), "boolean")
