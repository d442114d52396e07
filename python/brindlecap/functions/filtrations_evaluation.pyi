"""Filter trees over signal pools (resolve_filtrations, parse_tree), product filtrations, metadata
flattening and the acceptance pipeline of filtration operators (evaluate), implemented in C++."""
from dataclasses import dataclass
from typing import Any, Callable, Mapping, TypeAlias

import numpy as np
import numpy.typing as npt

from brindlecap.functions.evaluation_pipeline.check_registry import get_check_key_map as get_check_key_map
from brindlecap.functions.evaluation_pipeline.check_registry import (
    get_check_registry_entries as get_check_registry_entries)
from brindlecap.functions.evaluation_utils import BaseEvaluationConfig as BaseEvaluationConfig
from brindlecap.functions.evaluation_utils import CheckOutcome as CheckOutcome
from brindlecap.functions.evaluation_utils import EvaluationCheckPlugin as EvaluationCheckPlugin
from brindlecap.functions.filtrations.builtin_runtime_targets import (
    resolve_builtin_filtration_target as resolve_builtin_filtration_target)
from brindlecap.functions.registry_and_store.store_builder import FunctionStore as FunctionStore
from brindlecap.functions.registry_and_store.store_builder import StoreEntry as StoreEntry
from brindlecap.functions.registry_and_store.store_builder import build_default_store as build_default_store

# A pool: a dict of UsefulSignal, or a pool built column-wise (brindlecap.columns).
_Pool: TypeAlias = Mapping[Any, "UsefulSignal"]

# ---- records

@dataclass
class FilterNode:
    """Generic filter tree node."""
    function_name: str
    params: dict[str, Any] = ...
    children: list[FilterNode] = ...

@dataclass
class FilterDiagnostic:
    """Per-node diagnostic from tree evaluation."""
    filter_description: str
    passing_count: int
    function_name: str

@dataclass
class FiltrationResult:
    """Result of resolve_filtrations()."""
    passing_ids: list[str]
    signal_count: int
    total_pool_size: int
    filter_diagnostics: list[FilterDiagnostic]
    def _repr_html_(self) -> str: ...

@dataclass
class UsefulSignal:
    """A signal with weights and metadata."""
    weights: npt.NDArray[Any]
    pnl: npt.NDArray[Any] | None
    metadata: dict[str, Any]

@dataclass
class FiltrationFieldSchema:
    """Schema for a single filterable field."""
    field_name: str
    field_type: str
    epoch: str | None
    column: str | None
    stat: str | None
    compatible_operators: list[str]
    rankable: bool

@dataclass
class PreparedField:
    """What a leaf operator receives: the field's (id, value) pairs without NaN."""
    values: list[tuple[str, Any]]
    field_name: str
    field_type: str
    pool_keys: set[str]
    nan_count: int

@dataclass
class FiltrationEvaluationConfig(BaseEvaluationConfig):
    """Configuration of a filtration operator evaluation."""
    N_trials: int = ...
    bias_tolerance: float = ...
    speed_small_T: int = ...
    speed_small_N: int = ...
    speed_small_limit_s: float = ...
    speed_large_T: int = ...
    speed_large_N: int = ...
    speed_large_limit_s: float = ...
    mock_signals: dict[str, Any] | None = ...
    signal_ids: list[str] | None = ...
    market_id: int | None = ...
    era_number: int | None = ...
    signal_metadata: dict[str, Any] | None = ...
    N_signals: int = ...
    T: int = ...
    N_alloc: int = ...
    references: dict[str, Callable[..., Any]] = ...
    properties: dict[str, list[str]] = ...

@dataclass
class EvalFiltrationConfig:
    """One operator to evaluate."""
    name: str
    test_cases: list[dict[str, Any]] | None = ...

@dataclass
class OperatorCheckResult:
    """Every check's outcome for one operator, and its verdict."""
    operator_name: str
    accepted: bool
    checks: dict[str, CheckOutcome]
    warnings: list[str]

@dataclass
class FiltrationEvaluationResult:
    """Result of an evaluation run."""
    operator_results: dict[str, OperatorCheckResult]
    config: FiltrationEvaluationConfig
    operator_configs: list[EvalFiltrationConfig]
    def _repr_html_(self) -> str: ...

@dataclass(frozen=True)
class CheckRegistryEntry:
    """A canonical check of the filtration family."""
    check_number: int
    name: str
    default_mode: str = ...
    verifies_return_shape: bool = ...
    verifies_return_ids: bool = ...
    verifies_input_immutability: bool = ...
    verifies_empty_pool: bool = ...

@dataclass
class FiltrationInstance:
    """A filtration operator with bound parameters."""
    function_name: str
    params: dict[str, Any] = ...

class Operator:
    """A library operator, callable in its calling form."""
    @property
    def name(self) -> str: ...
    def __call__(self, *args: Any) -> Any: ...

# ---- errors

class FilterValidationError(Exception): ...
class FiltrationSubsetError(Exception): ...

class EmptyFiltrationError(Exception):
    """Nothing passes the tree; filter_diagnostics holds every node's count."""
    filter_diagnostics: list[FilterDiagnostic]
    def __init__(self, message: str, filter_diagnostics: list[FilterDiagnostic] | None = None) -> None: ...
    def _repr_html_(self) -> str: ...

class EmptyPoolError(Exception):
    filter_diagnostics: list[FilterDiagnostic] | None
    def __init__(self, message: str = "", filter_diagnostics: list[FilterDiagnostic] | None = None) -> None: ...

# ---- tables

CHECK_REGISTRY: dict[str, CheckRegistryEntry]
FIELD_TYPE_OPERATORS: dict[str, list[str]]
log: Any  # the module's structlog logger

# ---- trees

def resolve_filtrations(useful_signals: _Pool, filter_tree: FilterNode, store: FunctionStore) -> FiltrationResult:
    """Evaluates filter_tree over the pool: passing ids (sorted) and one diagnostic per node, root last.

    useful_signals: the pool (a dict of UsefulSignal, or a pool built column-wise).
    filter_tree: the tree (FilterNode records, or parse_tree's result).
    store: where the tree's operators are looked up (build_default_store() for the built-ins).
    Raises EmptyFiltrationError when nothing passes, FilterValidationError for a tree that does not fit.
    """

def parse_tree(text: str) -> FilterNode:
    """The filter tree of an inline expression: ``gt(is_sharpe, 0.5)``, ``between(x, 1, 2)`` or
    ``gt(field=is_sharpe, value=0.5)``. SyntaxError (with line and column) for malformed text."""

def preprocess_field(pool: _Pool, params: Mapping[str, Any], operator_name: str = "") -> PreparedField:
    """The PreparedField a leaf operator receives for params' field (operator_name's field types checked)."""

# ---- the acceptance pipeline

def evaluate(config: FiltrationEvaluationConfig, operator_configs: list[EvalFiltrationConfig] | None = None,
             store: FunctionStore | None = None) -> FiltrationEvaluationResult:
    """Judges filtration operators: every canonical check and every registered plug-in, on each operator.

    config: the run's settings (mode, mock_signals, seed, skip_checks, ...).
    operator_configs: the operators to judge; None judges every filtration operator of the store.
    store: where the operators are looked up; None is the default store.
    """

def generate_synthetic_signals(config: FiltrationEvaluationConfig,
                               rng: np.random.Generator | None = None) -> dict[str, UsefulSignal]:
    """A reproducible pool of synthetic signals (config.N_signals, config.seed), the checks' fixture."""

def register_check_plugin(plugin: EvaluationCheckPlugin) -> None:
    """Adds a plug-in check, run after the canonical checks; its name must be new."""

def get_registered_plugins() -> list[EvaluationCheckPlugin]:
    """The registered plug-ins, in registration order (a new list)."""

def clear_check_plugins() -> None:
    """Removes every registered plug-in."""

def register_strict_checks() -> None:
    """Registers the strict profile's checks as plug-ins (those not registered yet), after the registered ones."""

def unregister_strict_checks() -> None:
    """Removes the strict profile's checks; other plug-ins keep their order."""

def strict_check_names() -> list[str]:
    """The strict profile's check names, in registration order."""

# ---- products, flattening, telemetry

def build_product_filtration_field_registry() -> dict[str, dict[str, Any]]:
    """The source-backed product fields (layer.field -> registry entry)."""

def resolve_product_filtrations(products: Mapping[str, Any], filter_tree: FilterNode | None,
                                investment_product_type: str,
                                reduction_fn: Callable[[dict[str, Any]], Any] | None = None,
                                store: FunctionStore | None = None) -> dict[str, Any]:
    """Selects the prior-layer products that pass filter_tree."""

def flatten_signal_metadata(is_stats: Mapping[str, Any] | None, os_stats: Mapping[str, Any] | None,
                            metadata: Mapping[str, Any] | None, telemetry_observer: Any = None) -> dict[str, Any]:
    """One mapping of is_<stat>, os_<stat> and the metadata entries."""

def record_surface_observation(observer: Any, *, surface: str, behaviour: str, value: float,
                               tags: Mapping[str, Any] | None = None) -> None:
    """The default telemetry hook: refuses any observer."""

def flush_surface_observer_sync(observer: Any) -> None:
    """The default flush hook: refuses any observer."""
