"""Two researcher-written versions of the `gt` filtration operator (field-leaf form).

    python3 -m brindlecap.filtrations evaluate --operator gt=examples/my_ops.py:sloppy_gt --skip 8
"""


def gt(prepared, params):
    """Signals whose field value is strictly greater than params["value"]."""
    target = params["value"]
    return {signal_id for signal_id, value in prepared.values if value > target}


def sloppy_gt(prepared, params):
    """Like gt, but keeps the signals equal to the target as well."""
    target = params["value"]
    return {signal_id for signal_id, value in prepared.values if value >= target}
