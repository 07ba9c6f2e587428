"""Installs the pack as ComfyUI-Manager does from the node registry, into a
ComfyUI without a compiler, and runs it. Started by tools/comfyui/registry_check.sh
with the repository's Python (it runs the stand-in service and the package
index); ComfyUI and pip run with ComfyUI's Python and a PATH without compiler
or CMake.

Steps: pip freeze of ComfyUI's environment; from an empty custom_nodes/, the
registry's archive unpacked and its requirements.txt installed one line at a
time (`pip install <line>`, the manager's command, with the local index
added); pip freeze again (no version ComfyUI had may change; what the pack
adds, in packages and MiB); ComfyUI started; the three workflows; Cancel
during a waiting sampler call. Prints the figures and writes them to
RESULTS/figures.json; exits non-zero when a check fails.
"""
import argparse
import asyncio
import copy
import functools
import http.server
import json
import os
import secrets
import shutil
import subprocess
import sys
import threading
import time
import tomllib
import zipfile
from pathlib import Path

from tools.comfyui.check import WORKFLOWS, ComfyUI, Failed, StandIn, check, free_port, load, run_check, three_workflows

PACKAGE = "vorna_comfyui_engine"
# The manager unpacks a registry pack into custom_nodes/<node id>, the node id
# being the project's name.
NODE_ID = tomllib.loads((Path(__file__).resolve().parents[2] / "pyproject.toml").read_text())["project"]["name"]
SAMPLER_DELAY = 8.0


def serve_index(folder):
    """A PEP 503 package index of `folder` on loopback; returns its /simple/ address."""
    handler = functools.partial(QuietHandler, directory=str(folder))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"http://127.0.0.1:{server.server_address[1]}/simple/"


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def manager_lines(requirements):
    """The lines ComfyUI-Manager installs, each handed to pip as one argument."""
    lines = []
    for line in requirements.read_text().splitlines():
        line = line.split("#")[0].strip()
        if line and line not in lines:
            lines.append(line)
    return lines


def freeze(python, env):
    out = subprocess.run([python, "-m", "pip", "freeze", "--all"], capture_output=True, text=True, env=env,
                         check=True).stdout
    pins = {}
    for line in out.splitlines():
        name, sep, version = line.partition("==")
        if not sep:
            name, _, version = line.partition(" @ ")
        pins[name.strip().lower().replace("_", "-")] = version.strip()
    return pins


def site_packages(python, env):
    return Path(subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                               capture_output=True, text=True, env=env, check=True).stdout.strip())


def disk_bytes(folder):
    return sum(p.stat().st_size for p in folder.rglob("*") if p.is_file() and not p.is_symlink())


def baseline(python, env, stamp):
    """ComfyUI's environment as first set up: taken on the first run, restored
    on later ones (what an earlier run of the pack added is removed)."""
    now = freeze(python, env)
    if not stamp.exists():
        stamp.write_text(json.dumps(now, indent=1))
        return now
    first = json.loads(stamp.read_text())
    extra = sorted(set(now) - set(first))
    if extra:
        subprocess.run([python, "-m", "pip", "uninstall", "-q", "-y", *extra], env=env, check=True)
    now = freeze(python, env)
    if now != first:
        raise Failed(f"ComfyUI's environment differs from its first set-up; remove {stamp.parent} and run again")
    return now


def same_extension_as_wheel(python, env, wheel):
    """The installed shared object is the one of our wheel (its RECORD line, with the hash)."""
    with zipfile.ZipFile(wheel) as z:
        record = next(n for n in z.namelist() if n.endswith(".dist-info/RECORD"))
        ours = [r for r in z.read(record).decode().splitlines() if r.startswith(PACKAGE + ".")]
    code = ("import importlib.metadata as m; d = m.distribution('vorna_comfyui_engine'); "
            "print(d.read_text('RECORD'))")
    installed = subprocess.run([python, "-c", code], capture_output=True, text=True, env=env, check=True).stdout
    return bool(ours) and all(line in installed.splitlines() for line in ours)


async def main(args):
    figures = {"python": subprocess.run([args.python, "-c", "import sys; print(sys.version.split()[0])"],
                                        capture_output=True, text=True, check=True).stdout.strip(),
               "wheel": args.wheel.name}
    env = dict(os.environ, PATH=args.path)
    env.pop("PYTHONPATH", None)
    key = secrets.token_urlsafe(24)
    service = StandIn(free_port(), key, args.results)
    service.start()
    index = serve_index(args.index)
    custom_nodes = args.comfyui / "custom_nodes"
    folder = custom_nodes / NODE_ID
    comfy = None
    try:
        print(f"ComfyUI's environment ({args.python})")
        shutil.rmtree(folder, ignore_errors=True)
        before = baseline(args.python, env, args.python.parent.parent / ".baseline-freeze.json")
        site = site_packages(args.python, env)
        size_before = disk_bytes(site)
        check(not any(p.name.lower().startswith("vorna") for p in custom_nodes.iterdir()),
              "custom_nodes/ holds no Vorna folder")
        check(PACKAGE.replace("_", "-") not in before, f"{PACKAGE} is not installed")

        print("installing as the manager does (no compiler on PATH)")
        start = time.monotonic()
        with zipfile.ZipFile(args.archive) as archive:
            archive.extractall(folder)
        installs = {}
        for line in manager_lines(folder / "requirements.txt"):
            t0 = time.monotonic()
            proc = subprocess.run([args.python, "-m", "pip", "install", line, "--extra-index-url", index],
                                  cwd=folder, env=env, capture_output=True, text=True)
            installs[line] = round(time.monotonic() - t0, 2)
            with (args.results / "pip-install.log").open("a") as log:
                log.write(f"$ pip install {line}\n{proc.stdout}{proc.stderr}\n")
            check(proc.returncode == 0, f"pip install {line} ({installs[line]} s)")
        installed_s = time.monotonic() - start
        figures["pip_install_s"] = installs
        check(same_extension_as_wheel(args.python, env, args.wheel),
              f"the installed extension is the one of {args.wheel.name}")

        after = freeze(args.python, env)
        changed = {n: f"{before[n]} -> {after.get(n)}" for n in before if after.get(n) != before[n]}
        added = {n: after[n] for n in sorted(set(after) - set(before))}
        added_mib = (disk_bytes(site) - size_before) / 2 ** 20
        figures["pip_freeze"] = {"changed": changed, "added_count": len(added), "added_mib": round(added_mib, 1),
                                 "added": added, "torch": after.get("torch")}
        (args.results / "freeze-before.json").write_text(json.dumps(before, indent=1))
        (args.results / "freeze-after.json").write_text(json.dumps(after, indent=1))
        check(not changed, f"no package ComfyUI had changed version (torch {before.get('torch')})")
        print(f"  the pack added {len(added)} packages, {added_mib:.1f} MiB: {', '.join(added)}")

        print("ComfyUI with the pack")
        comfy = ComfyUI(args, f"http://127.0.0.1:{service.port}", key, python=args.python, path=args.path)
        await comfy.start()
        started_s = time.monotonic() - start
        _, info = await comfy.get("/object_info")
        ours = [k for k, v in info.items() if v["python_module"] == f"custom_nodes.{NODE_ID}"]
        check(len(ours) == 11, f"11 Vorna nodes registered ({len(ours)})")
        # ComfyUI reads the folder's pyproject.toml with its registry parser while loading it.
        log = comfy.log_path.read_text(errors="replace")
        complaints = [line for line in log.splitlines() if "Unable to parse pyproject.toml" in line
                      or ("Cannot import" in line and NODE_ID in line)]
        check(not complaints, "ComfyUI read the pack's pyproject.toml and imported it without a complaint"
              + "".join(f"; {line}" for line in complaints[:2]))

        figures["workflows"], first_end = await three_workflows(comfy)
        figures["from_empty_custom_nodes_s"] = {"installed": round(installed_s, 1),
                                                "comfyui_answering": round(started_s, 1),
                                                "first_graph_done": round(first_end - start, 1)}

        print(f"Cancel during a sampler call (the stand-in answers after {SAMPLER_DELAY} s)")
        service.start(fault="slow", fault_on="sampler", delay=SAMPLER_DELAY)
        prompt = load(WORKFLOWS / "text_to_image.json")
        prompt["7"]["inputs"]["seed"] = 4242
        since = len(comfy.messages)
        prompt_id = await comfy.queue(copy.deepcopy(prompt))
        await comfy.wait(lambda t, kind, data: kind == "executing" and data.get("node") == "7", 120, since)
        await asyncio.sleep(1.0)
        pressed = time.monotonic()
        async with comfy.session.post(comfy.url + "/interrupt", json={}) as r:
            check(r.status == 200, "Cancel pressed while the sampler waits")
        ended = await comfy.wait(lambda t, kind, data: data.get("prompt_id") == prompt_id and kind in (
            "execution_interrupted", "execution_error", "execution_success"), 60, since)
        figures["cancel_s"] = round(ended[0] - pressed, 3)
        check(ended[1] == "execution_interrupted" and figures["cancel_s"] < 1.0,
              f"{ended[1]} {figures['cancel_s']} s after Cancel")
    finally:
        if comfy is not None:
            await comfy.close()
        service.stop()
        (args.results / "figures.json").write_text(json.dumps(figures, indent=2) + "\n")
        print(json.dumps(figures, indent=2))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--comfyui", type=Path, required=True)
    parser.add_argument("--python", type=Path, required=True, help="ComfyUI's Python")
    parser.add_argument("--path", required=True, help="PATH for pip and ComfyUI")
    parser.add_argument("--stubs", type=Path, required=True)
    parser.add_argument("--archive", type=Path, required=True)
    parser.add_argument("--index", type=Path, required=True, help="the PEP 503 folder (with simple/)")
    parser.add_argument("--wheel", type=Path, required=True)
    parser.add_argument("--results", type=Path, required=True)
    run_check(main, parser)
