# Sourced by the checks in a real ComfyUI (check.sh, registry_check.sh),
# which set DIR (the check's folder: DIR/ComfyUI, DIR/venv, DIR/stubs), SOURCE
# (ComfyUI's source for the first run), PYTHON and CHECK (their name, for
# messages).

# ComfyUI's source in DIR/ComfyUI, copied from SOURCE (a checkout, a folder
# with main.py, or a git directory of ComfyUI's repository) unless it is there.
comfyui_source() {
    if [ ! -f "$DIR/ComfyUI/main.py" ]; then
        [ -n "$SOURCE" ] || { echo "$CHECK: give COMFYUI_SOURCE on the first run" >&2; exit 2; }
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
print("ComfyUI copied; absent from the source:", ", ".join(missing) or "nothing")
PY
        fi
    fi
    echo "$CHECK: ComfyUI $(sed -n 's/^__version__ = "\(.*\)"/\1/p' "$DIR/ComfyUI/comfyui_version.py")"
}

# DIR/venv with ComfyUI's requirements beside the pinned CPU torch and the pip
# arguments given; skipped when none of them changed since the last run.
comfyui_venv() {
    if [ ! -x "$DIR/venv/bin/python" ]; then
        "$PYTHON" -m venv "$DIR/venv"
    fi
    local PY="$DIR/venv/bin/python"
    # Never an unpinned torch: it would download GBs of GPU wheels.
    grep -v -E '^(torch|torchvision|torchaudio|kornia|spandrel)([<>=~ ].*)?$' "$DIR/ComfyUI/requirements.txt" \
        | grep -v -E '^\s*(#|$)' > "$DIR/comfyui-requirements.txt"
    local stamp="$DIR/venv/.installed.sha" want
    want="$( (cat "$DIR/comfyui-requirements.txt"; echo "$@") | sha256sum | cut -d' ' -f1)"
    if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
        echo "$CHECK: installing ComfyUI's requirements beside torch==2.13.0"
        "$PY" -m pip install -q torch==2.13.0 -r "$DIR/comfyui-requirements.txt" "$@"
        echo "$want" > "$stamp"
    fi
}

# torchvision from the index does not load beside torch 2.13.0, and ComfyUI
# only imports it at start-up: an import-only stand-in on the server's path.
torchvision_stub() {
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
}
