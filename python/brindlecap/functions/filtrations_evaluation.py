"""Filter trees over signal pools (resolve_filtrations), product filtrations, metadata
flattening and the acceptance pipeline of filtration operators (_evaluate), implemented in C++."""
from brindlecap import _native
from brindlecap.functions.evaluation_pipeline import check_registry as _check_registry

_native.export(globals(), "filtrations_evaluation")
