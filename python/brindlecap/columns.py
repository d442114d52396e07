"""Signal pools built column-wise, without a Python object per signal:

    pool = pool_from_columns(ids, {"is_sharpe": np.array([...]), "signal_category": ["momentum", ...]})
    pool = pool_from_dataframe(frame)                 # ids from the index
    fe.resolve_filtrations(pool, tree, build_default_store())

The pool is a read-only mapping id -> UsefulSignal, accepted wherever a pool dict is.
"""
from brindlecap import _native

_native.export(globals(), "columns")
