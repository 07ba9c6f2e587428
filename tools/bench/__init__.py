"""Benchmarks of the package against the bare library work and a plain-Python
baseline; run with `python -m tools.bench` (see tools/bench/__main__.py)."""
