"""Signal pools built column-wise, without a Python object per signal."""
from typing import Any, Iterator, Mapping, Sequence

from brindlecap.functions.filtrations_evaluation import UsefulSignal

class ColumnPool(Mapping[Any, UsefulSignal]):
    """A read-only mapping id -> UsefulSignal, accepted wherever a pool dict is."""
    def __getitem__(self, arg0: Any) -> UsefulSignal: ...
    def __iter__(self) -> Iterator[Any]: ...
    def __len__(self) -> int: ...

def pool_from_columns(ids: Sequence[Any] | Any, columns: Mapping[str, Sequence[Any] | Any]) -> ColumnPool:
    """A pool from the signals' ids and one array per field.

    ids: the signals' ids, in order (any sequence or array).
    columns: field name -> numpy array (float, int, bool), sequence of str or of lists of str
    (None for not held), pandas Categorical, or any values.
    Columns of objects (str, lists, any values) are read the first time something needs them (a
    tree reading the field, a signal's metadata); until then the pool holds its own references
    to their entries, so that setting a cell of the frame afterwards does not change the pool.
    An entry the library cannot hold is refused then, naming the column and the signal.
    """

def pool_from_dataframe(frame: Any, ids: str | None = None) -> ColumnPool:
    """pool_from_columns over a pandas DataFrame.

    frame: one column per field, one row per signal.
    ids: the column holding the ids; None takes them from the index.
    """
