"""Diagnostics for long-running processes."""
