"""The framework functions: filtrations_evaluation and the services it builds on."""
