"""top_pct, bottom_pct, top_n, bottom_n: leaf operators over a prepared field."""
