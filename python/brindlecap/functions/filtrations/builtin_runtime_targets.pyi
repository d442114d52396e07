"""Filtration operators by module path and attribute name."""
from typing import Any, Callable

def resolve_builtin_filtration_target(module_path: str, class_name: str) -> Callable[..., Any]:
    """Imports module_path and returns its attribute class_name."""
