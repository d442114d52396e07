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


def above_median_gap(prepared, params):
    """A new operator: signals whose value exceeds params["value"] by more than params.get("gap", 0)."""
    floor = params["value"] + params.get("gap", 0.0)
    return [signal_id for signal_id, value in prepared.values if value > floor]


def above_median_gap_oracle(prepared, params):
    """The researcher's own oracle for above_median_gap: a plain loop, written separately."""
    floor = params["value"] + params.get("gap", 0.0)
    kept = set()
    for signal_id, value in prepared.values:
        if value - floor > 0:
            kept.add(signal_id)
    return kept


def sloppy_above_median_gap(prepared, params):
    """Like above_median_gap, but keeps the values at the floor."""
    floor = params["value"] + params.get("gap", 0.0)
    return [signal_id for signal_id, value in prepared.values if value >= floor]
