"""brindlecap: filter trees over signal pools and the acceptance pipeline of filtration
operators, from the C++ library (the extension module brindlecap._native)."""
from brindlecap._native import __version__
