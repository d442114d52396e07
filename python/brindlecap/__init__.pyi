"""brindlecap: filter trees over signal pools and the acceptance pipeline of filtration operators."""

__version__: str
