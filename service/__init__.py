"""Stand-in for the remote inference service, for offline work and tests.

Importing the package is cheap; the BentoML service lives in
``service.standin`` and the synthetic answers in ``service.synth``.
Start it with ``python -m service --port PORT``.
"""
