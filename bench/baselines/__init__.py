"""Pure-Python equivalents of the compiled modules, for the benchmarks only.

Each module here does what its compiled counterpart does, statement for
statement, so that the runner can time the two side by side. They are not part
of the package and are never imported by it.
"""
