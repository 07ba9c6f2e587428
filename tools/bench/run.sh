#!/usr/bin/env bash
# The benchmark command: set up (idempotent; builds and installs the package
# into .venv), then measure it. Extra arguments go to `python -m tools.bench`
# (`--quick`, `--only nodes memory`, `--wait-quiet 600`, `--no-write`).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh
export BENTOML_DO_NOT_TRACK=true
exec .venv/bin/python -m tools.bench "$@"
