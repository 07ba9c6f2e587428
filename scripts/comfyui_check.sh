#!/usr/bin/env bash
# Checks the nodes in a real ComfyUI (CPU only, with its real front end in
# headless Chromium). Not part of CI: it needs ComfyUI's source and a few GB
# of packages.
#
#   bash scripts/comfyui_check.sh DIR [COMFYUI_SOURCE]
#
# DIR            where to set everything up (kept between runs; set-up steps
#                already done are skipped): DIR/venv, DIR/ComfyUI, DIR/results
# COMFYUI_SOURCE a ComfyUI checkout (a folder with main.py) or a git
#                directory of ComfyUI's repository; needed on the first run
#
# It installs ComfyUI's requirements beside the pinned CPU torch (leaving out
# torchvision, torchaudio, kornia and spandrel; an import-only stand-in
# torchvision lets ComfyUI start), this folder's requirements, Playwright, and
# this folder as a custom node (built with `pip install .`), then runs
# scripts/comfyui_check.py, which prints its figures and writes
# DIR/results/figures.json and screenshots.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DIR="${1:?usage: comfyui_check.sh DIR [COMFYUI_SOURCE]}"
SOURCE="${2:-}"
mkdir -p "$DIR"
DIR="$(cd "$DIR" && pwd)"
PYTHON="${PYTHON:-python3.11}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 BENTOML_DO_NOT_TRACK=true
NODE_FOLDER="$DIR/ComfyUI/custom_nodes/vorna_nodes"

# --- ComfyUI's source -------------------------------------------------------------------------
if [ ! -f "$DIR/ComfyUI/main.py" ]; then
    [ -n "$SOURCE" ] || { echo "comfyui_check: give COMFYUI_SOURCE on the first run" >&2; exit 2; }
    mkdir -p "$DIR/ComfyUI"
    if [ -f "$SOURCE/main.py" ]; then
        cp -a "$SOURCE/." "$DIR/ComfyUI/"
    else
        # A git directory, possibly without some large blobs: copy every file it has.
        "$PYTHON" - "$SOURCE" "$DIR/ComfyUI" <<'PY'
import os, subprocess, sys
git_dir, dest = sys.argv[1:3]
rows = subprocess.run(["git", "--git-dir", git_dir, "ls-tree", "-r", "HEAD"], check=True,
                      capture_output=True, text=True).stdout.splitlines()
cat = subprocess.Popen(["git", "--git-dir", git_dir, "cat-file", "--batch"], stdin=subprocess.PIPE,
                       stdout=subprocess.PIPE)
missing = []
for row in rows:
    meta, path = row.split("\t", 1)
    if meta.split()[1] != "blob":
        continue
    cat.stdin.write(meta.split()[2].encode() + b"\n")
    cat.stdin.flush()
    head = cat.stdout.readline().split()
    if head[-1] == b"missing":
        missing.append(path)
        continue
    data = cat.stdout.read(int(head[2]))
    cat.stdout.read(1)
    target = os.path.join(dest, path)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as f:
        f.write(data)
    if meta.split()[0] == "100755":
        os.chmod(target, 0o755)
print("comfyui_check: ComfyUI copied; absent from the source:", ", ".join(missing) or "nothing")
PY
    fi
fi
echo "comfyui_check: ComfyUI $(sed -n 's/^__version__ = "\(.*\)"/\1/p' "$DIR/ComfyUI/comfyui_version.py")"

# --- Python environment -----------------------------------------------------------------------
if [ ! -x "$DIR/venv/bin/python" ]; then
    "$PYTHON" -m venv "$DIR/venv"
fi
PY="$DIR/venv/bin/python"
# Never an unpinned torch: it would download GBs of GPU wheels.
grep -v -E '^(torch|torchvision|torchaudio|kornia|spandrel)([<>=~ ].*)?$' "$DIR/ComfyUI/requirements.txt" \
    | grep -v -E '^\s*(#|$)' > "$DIR/comfyui-requirements.txt"
stamp="$DIR/venv/.installed.sha"
want="$(cat "$DIR/comfyui-requirements.txt" "$ROOT/requirements.txt" | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    echo "comfyui_check: installing ComfyUI's requirements beside torch==2.13.0 (CPU)"
    "$PY" -m pip install -q torch==2.13.0 -r "$DIR/comfyui-requirements.txt" -r "$ROOT/requirements.txt" \
        playwright scikit-build-core pybind11 ninja
    echo "$want" > "$stamp"
fi

# torchvision from the index does not load beside torch 2.13.0, and ComfyUI
# only imports it at start-up: an import-only stand-in on the server's path.
mkdir -p "$DIR/stubs/torchvision"
cat > "$DIR/stubs/torchvision/__init__.py" <<'PY'
"""Import-only stand-in for torchvision: every name imports, nothing runs."""
import importlib.abc
import importlib.machinery
import sys
import types

__version__ = "0.0.0+standin"


class _Absent:
    def __init__(self, name):
        self._name = name

    def __getattr__(self, attr):
        return _Absent(f"{self._name}.{attr}")

    def __call__(self, *args, **kwargs):
        raise RuntimeError(f"{self._name}: torchvision is only a stand-in here")

    def __mro_entries__(self, bases):
        return (object,)


class _Submodules(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    def find_spec(self, name, path=None, target=None):
        if name.startswith(__name__ + "."):
            return importlib.machinery.ModuleSpec(name, self, is_package=True)
        return None

    def create_module(self, spec):
        module = types.ModuleType(spec.name)
        module.__path__ = []
        module.__getattr__ = lambda attr, prefix=spec.name: _Absent(f"{prefix}.{attr}")
        return module

    def exec_module(self, module):
        pass


sys.meta_path.insert(0, _Submodules())


def __getattr__(attr):
    return _Absent(f"{__name__}.{attr}")
PY

# --- Chromium for the front end -----------------------------------------------------------------
CHROMIUM="$(command -v chromium || true)"
if [ -z "$CHROMIUM" ]; then
    echo "comfyui_check: installing Debian's chromium"
    apt-get update -qq && apt-get install -y -qq chromium >/dev/null
    CHROMIUM="$(command -v chromium)"
fi

# --- this folder as a custom node -----------------------------------------------------------------
echo "comfyui_check: building and installing the extension into $DIR/venv"
(cd "$ROOT" && "$PY" -m pip install -q --no-build-isolation --no-deps --force-reinstall .)
rm -rf "$NODE_FOLDER"
mkdir -p "$NODE_FOLDER"
# What a clone of the repository holds, uncommitted changes included.
(cd "$ROOT" && git ls-files -co --exclude-standard -z | xargs -0 tar -cf - --no-recursion) | tar -xf - -C "$NODE_FOLDER"
(cd "$ROOT" && "$PY" -m harness make-inputs "$DIR/ComfyUI/input" >/dev/null)

mkdir -p "$DIR/results"
cd "$ROOT"
exec "$PY" -m scripts.comfyui_check --comfyui "$DIR/ComfyUI" --stubs "$DIR/stubs" --chromium "$CHROMIUM" \
    --results "$DIR/results"
