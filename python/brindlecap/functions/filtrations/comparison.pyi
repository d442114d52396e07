"""gt, gte, lt, lte, eq, neq, between, in_: leaf operators over a prepared field."""
