"""The folder as ComfyUI's node registry archives it when the pack is
published: the files git tracks, less those that .comfyignore names
(gitignore patterns; blank lines and comments skipped).

    python tools/release/registry_archive.py OUT.zip     # writes the archive, prints what it holds
"""
import subprocess
import sys
import warnings
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def tracked(root=ROOT):
    return subprocess.run(["git", "-C", str(root), "ls-files"], capture_output=True, text=True,
                          check=True).stdout.splitlines()


def archived(root=ROOT):
    """The paths of the archive, relative to the folder."""
    import pathspec

    ignore = Path(root, ".comfyignore")
    lines = ignore.read_text(encoding="utf-8").splitlines() if ignore.is_file() else []
    with warnings.catch_warnings():
        # The registry's packer (comfy-cli) reads "gitwildmatch" patterns, a name pathspec 1.x deprecates.
        warnings.simplefilter("ignore", DeprecationWarning)
        rules = pathspec.PathSpec.from_lines("gitwildmatch", (line.strip() for line in lines
                                                              if line.strip() and not line.lstrip().startswith("#")))
    return [path for path in tracked(root) if not rules.match_file(path)]


def write_zip(out, root=ROOT):
    paths = archived(root)
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        for path in paths:
            archive.write(Path(root, path), path)
    return paths


if __name__ == "__main__":
    paths = write_zip(sys.argv[1])
    size = Path(sys.argv[1]).stat().st_size
    print(f"registry_archive: {len(paths)} files, {size / 1024:.0f} KiB in {sys.argv[1]}")
