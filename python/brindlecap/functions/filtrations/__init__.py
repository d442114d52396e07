"""The built-in filtration operators."""
