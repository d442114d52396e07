"""The function store."""
