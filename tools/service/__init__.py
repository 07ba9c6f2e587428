"""Stand-in for the remote inference service, for offline work and tests.

Importing the package is cheap; the BentoML service lives in
``tools.service.standin`` and the synthetic answers in ``tools.service.synth``.
Start it with ``python -m tools.service --port PORT``.
"""
