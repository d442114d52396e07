"""Evaluation pipeline services."""
