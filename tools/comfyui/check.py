"""Runs the nodes in a real ComfyUI and measures what the coroutine nodes are
for. Started by tools/comfyui/check.sh, with ComfyUI's Python, from the
repository root; ComfyUI must already have this folder as a custom node.

Steps: the three API workflows; the same graph again (cached); two text
encodes against a stand-in that answers after 2 s (they must overlap);
Cancel during a delayed sampler call (the prompt must end within 1 s and the
next one run); progress text on the websocket; the example workflows listed
as templates, one loaded into the front end in Chromium, screenshotted and
queued from there; Ctrl-C while a call waits. Prints the figures and writes
them to RESULTS/figures.json; exits non-zero when a check fails.
"""
import argparse
import asyncio
import contextlib
import copy
import json
import os
import secrets
import signal
import struct
import subprocess
import sys
import time
import uuid
from pathlib import Path

import aiohttp

from tools.service.launch import free_port, start_standin

ROOT = Path(__file__).resolve().parents[2]
WORKFLOWS = ROOT / "tools" / "api_workflows"
EXAMPLES = ROOT / "example_workflows"
FOLDER_NAME = "vorna_nodes"
TEXT_EVENT = 3          # ComfyUI's binary websocket event carrying a node's progress text
SLOW = 2.0              # seconds the stand-in waits before each delayed answer
SAMPLER_DELAY = 8.0


def load(path):
    return json.loads(Path(path).read_text())


class Failed(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)
    print(f"  ok: {message}")


class StandIn:
    """The stand-in service on a fixed port, restarted with other switches."""

    def __init__(self, port, key, results):
        self.port, self.key, self.results = port, key, results
        self.server = None

    def start(self, fault="none", **switches):
        self.stop()
        try:
            self.server = start_standin(key=self.key, fault=fault, port=self.port, ready_timeout=300,
                                        log_path=self.results / "service.log",
                                        env={f"VORNA_STANDIN_{k.upper()}": str(v) for k, v in switches.items()})
        except RuntimeError as e:
            raise Failed(str(e)) from None

    def stop(self):
        if self.server is not None:
            self.server.stop()
            self.server = None


class ComfyUI:
    def __init__(self, args, service_url, key, python=sys.executable, path=None):
        """Starts ComfyUI with `python` (this interpreter unless told), and PATH set to `path` when given."""
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.client_id = uuid.uuid4().hex
        env = dict(os.environ, VORNA_API_BASE_URL=service_url, VORNA_API_KEY=key,
                   PYTHONPATH=os.pathsep.join(filter(None, [str(args.stubs), os.environ.get("PYTHONPATH")])))
        if path is not None:
            env["PATH"] = path
        self.log_path = args.results / "comfyui.log"
        self.proc = subprocess.Popen([python, "main.py", "--cpu", "--listen", "127.0.0.1", "--port",
                                      str(self.port), "--disable-auto-launch"], cwd=args.comfyui, env=env,
                                     stdout=open(self.log_path, "wb"), stderr=subprocess.STDOUT)
        self.messages = []          # (monotonic time, kind, payload)
        self.session = self.ws = self.reader = None

    async def start(self):
        self.session = aiohttp.ClientSession()
        deadline = time.monotonic() + 600
        while True:
            if self.proc.poll() is not None:
                raise Failed(f"ComfyUI exited at start-up; see {self.log_path}")
            try:
                async with self.session.get(self.url + "/system_stats") as r:
                    if r.status == 200:
                        break
            except aiohttp.ClientError:
                pass
            if time.monotonic() > deadline:
                raise Failed("ComfyUI did not start")
            await asyncio.sleep(0.5)
        self.ws = await self.session.ws_connect(f"{self.url}/ws?clientId={self.client_id}")
        self.reader = asyncio.create_task(self._read())

    async def _read(self):
        async for msg in self.ws:
            now = time.monotonic()
            if msg.type == aiohttp.WSMsgType.TEXT:
                data = json.loads(msg.data)
                self.messages.append((now, data["type"], data.get("data", {})))
            elif msg.type == aiohttp.WSMsgType.BINARY:
                kind, = struct.unpack(">I", msg.data[:4])
                if kind == TEXT_EVENT:
                    size, = struct.unpack(">I", msg.data[4:8])
                    node = msg.data[8:8 + size].decode()
                    self.messages.append((now, "progress_text", {"node": node,
                                                                 "text": msg.data[8 + size:].decode()}))

    async def get(self, path):
        async with self.session.get(self.url + path) as r:
            return r.status, await r.json(content_type=None)

    async def queue(self, prompt, **extra):
        body = {"prompt": prompt, "client_id": self.client_id, **extra}
        async with self.session.post(self.url + "/prompt", json=body) as r:
            answer = await r.json()
            if r.status != 200:
                raise Failed(f"prompt refused: {json.dumps(answer)[:2000]}")
            return answer["prompt_id"]

    async def wait(self, predicate, timeout, start=0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for i in range(start, len(self.messages)):
                if predicate(*self.messages[i]):
                    return self.messages[i]
            await asyncio.sleep(0.01)
        raise Failed("timed out waiting for a websocket message")

    def of_prompt(self, prompt_id, since=0):
        return [m for m in self.messages[since:] if m[2].get("prompt_id") == prompt_id]

    async def run(self, prompt, timeout=300):
        """Queues a prompt, waits for its end; returns (outcome, seconds from start to end, messages)."""
        since = len(self.messages)
        prompt_id = await self.queue(prompt)
        end = await self.wait(lambda t, kind, data: data.get("prompt_id") == prompt_id and kind in (
            "execution_success", "execution_error", "execution_interrupted"), timeout, since)
        start = next(m for m in self.of_prompt(prompt_id, since) if m[1] == "execution_start")
        return end[1], end[0] - start[0], self.of_prompt(prompt_id, since), end

    async def close(self):
        if self.ws is not None:
            await self.ws.close()
        if self.session is not None:
            await self.session.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.proc.wait(timeout=30)
            if self.proc.poll() is None:
                self.proc.kill()


def texts_per_node(comfy, since, until=None):
    out = {}
    for t, kind, data in comfy.messages[since:until]:
        if kind == "progress_text":
            out.setdefault(data["node"], []).append((t, data["text"]))
    return out


async def new_history_entry(comfy, before, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        _, history = await comfy.get("/history")
        for prompt_id, entry in history.items():
            if prompt_id not in before and entry.get("status", {}).get("completed") is not None:
                return entry
        await asyncio.sleep(0.2)
    raise Failed("the front end's prompt did not finish")


def saved_images(history, prompt_id):
    outputs = history.get(prompt_id, {}).get("outputs", {})
    return [img for node in outputs.values() for img in node.get("images", [])]


async def three_workflows(comfy):
    """Runs the three API workflows, each to one picture; returns their
    seconds by name and the (monotonic) time the first one ended."""
    seconds_by_name, first_end = {}, None
    for name in ("text_to_image", "image_to_image", "inpainting"):
        outcome, seconds, _, end = await comfy.run(load(WORKFLOWS / f"{name}.json"))
        _, history = await comfy.get(f"/history/{end[2]['prompt_id']}")
        images = saved_images(history, end[2]["prompt_id"])
        check(outcome == "execution_success" and len(images) == 1, f"{name}: {outcome}, {len(images)} picture")
        seconds_by_name[name] = round(seconds, 2)
        first_end = first_end or end[0]
    return seconds_by_name, first_end


async def main(args):
    figures = {}
    key = secrets.token_urlsafe(24)
    service = StandIn(free_port(), key, args.results)
    service.start()
    comfy = ComfyUI(args, f"http://127.0.0.1:{service.port}", key)
    try:
        await comfy.start()
        print(f"ComfyUI at {comfy.url}; log {comfy.log_path}")

        print("nodes")
        _, info = await comfy.get("/object_info")
        ours = {k: v for k, v in info.items() if v["python_module"] == f"custom_nodes.{FOLDER_NAME}"}
        check(len(ours) == 11, f"11 Vorna nodes registered ({len(ours)})")
        check(all(v["category"].startswith("Vorna") for v in ours.values()), "all under the Vorna category")
        executing = ("VornaCLIPTextEncode", "Vorna KSampler", "Vorna VAEDecode", "Vorna VAEEncode")
        check(all(ours[k]["input"].get("hidden") == {"unique_id": "UNIQUE_ID"} for k in executing),
              "the four executing nodes take the node id as a hidden input")
        check(all(ours[k]["description"] for k in ours if k != "VornaAPIClient"), "each package node has a description")

        print("the three workflows")
        figures["workflows"], _ = await three_workflows(comfy)

        print("caching")
        # ComfyUI keeps the outputs of the last prompt: the same graph again runs nothing.
        outcome, seconds, messages, _ = await comfy.run(load(WORKFLOWS / "inpainting.json"))
        cached = next(m[2]["nodes"] for m in messages if m[1] == "execution_cached")
        check(outcome == "execution_success" and len(cached) == 16, f"unchanged graph: {len(cached)} of 16 cached")
        figures["cached_rerun_s"] = round(seconds, 3)

        print(f"two text encodes side by side (stand-in answers text_encode after {SLOW} s)")
        service.start(fault="slow", fault_on="text_encode", delay=SLOW)
        prompt = load(WORKFLOWS / "text_to_image.json")
        prompt["4"]["inputs"]["text"] += ", at dusk"
        prompt["5"]["inputs"]["text"] += ", noise"
        since = len(comfy.messages)
        outcome, seconds, messages, _ = await comfy.run(prompt)
        started = {m[2]["node"]: m[0] for m in messages if m[1] == "executing" and m[2].get("node")}
        texts = texts_per_node(comfy, since)
        check(outcome == "execution_success", f"graph with two slow encodes succeeded in {seconds:.2f} s")
        check(abs(started["4"] - started["5"]) < SLOW / 2, "both encodes started together")
        # From the two encodes' start to the sampler's, which waits for both.
        encodes = started["7"] - min(started["4"], started["5"])
        check(encodes < 2 * SLOW, f"both encodes done in {encodes:.2f} s, below the {2 * SLOW:.0f} s of one after the other")
        figures["overlap"] = {"delay_s": SLOW, "prompt_s": round(seconds, 2), "both_encodes_s": round(encodes, 2),
                              "one_after_the_other_would_be_s": 2 * SLOW}
        shown = {node: [text for _, text in texts.get(node, [])] for node in ("4", "5")}
        # One message per distinct text: the count of seconds, then how the wait ended.
        check(all(t and len(t) == len(set(t)) and t[-1].startswith("service answered in") for t in shown.values()),
              f"progress text on the websocket: {shown}")
        figures["progress_messages"] = {node: len(t) for node, t in shown.items()}
        figures["progress_examples"] = [text for _, text in texts.get("4", [])][-3:]

        print(f"Cancel during a sampler call (stand-in answers after {SAMPLER_DELAY} s)")
        service.start(fault="slow", fault_on="sampler", delay=SAMPLER_DELAY)
        first, second = copy.deepcopy(prompt), copy.deepcopy(prompt)
        first["7"]["inputs"]["seed"] = 101
        second["7"]["inputs"]["seed"] = 102
        since = len(comfy.messages)
        first_id = await comfy.queue(first)
        await comfy.wait(lambda t, kind, data: kind == "progress_text" and data["node"] == "7", 120, since)
        pressed = time.monotonic()
        async with comfy.session.post(comfy.url + "/interrupt", json={}) as r:
            check(r.status == 200, "Cancel pressed")
        second_id = await comfy.queue(second)
        ended = await comfy.wait(lambda t, kind, data: data.get("prompt_id") == first_id and kind in (
            "execution_interrupted", "execution_error", "execution_success"), 60, since)
        check(ended[1] == "execution_interrupted", f"first prompt: {ended[1]}")
        latency = ended[0] - pressed
        check(latency < 1.0, f"first prompt ended {latency:.3f} s after Cancel")
        next_start = await comfy.wait(lambda t, kind, data: kind == "execution_start"
                                      and data.get("prompt_id") == second_id, 60, since)
        nxt = await comfy.wait(lambda t, kind, data: data.get("prompt_id") == second_id and kind in (
            "execution_success", "execution_error", "execution_interrupted"), 120, since)
        check(nxt[1] == "execution_success", "the next prompt ran to its end, the abandoned call meanwhile ending")
        figures["cancel"] = {"prompt_ended_after_cancel_s": round(latency, 3),
                             "next_prompt_started_after_cancel_s": round(next_start[0] - pressed, 3),
                             "next_prompt_s": round(nxt[0] - next_start[0], 2)}

        print("front end")
        service.start()
        figures["front_end"] = await front_end(comfy, args)

        print("Ctrl-C while a call waits")
        service.start(fault="slow", fault_on="sampler", delay=60)
        third = copy.deepcopy(prompt)
        third["7"]["inputs"]["seed"] = 103
        since = len(comfy.messages)
        await comfy.queue(third)
        await comfy.wait(lambda t, kind, data: kind == "progress_text" and data["node"] == "7", 120, since)
        pressed = time.monotonic()
        comfy.proc.send_signal(signal.SIGINT)
        comfy.proc.wait(timeout=120)
        figures["ctrl_c_exit_s"] = round(time.monotonic() - pressed, 2)
        check(figures["ctrl_c_exit_s"] < 5, f"ComfyUI exited {figures['ctrl_c_exit_s']} s after Ctrl-C")
    finally:
        await comfy.close()
        service.stop()
        (args.results / "figures.json").write_text(json.dumps(figures, indent=2) + "\n")
        print(json.dumps(figures, indent=2))


async def front_end(comfy, args):
    from playwright.async_api import async_playwright
    out = {}
    _, templates = await comfy.get("/api/workflow_templates")
    listed = sorted(templates.get(FOLDER_NAME, []))
    out["templates_listed"] = listed
    # Each once, under this pack's own names: the front end's search breaks on duplicates.
    check(listed == sorted(p.stem for p in EXAMPLES.glob("*.json")), f"templates listed: {listed}")
    status, served = await comfy.get(f"/api/workflow_templates/{FOLDER_NAME}/vorna_text_to_image.json")
    check(status == 200 and "nodes" in served, "the template served is the front end's format")

    async with async_playwright() as p:
        browser = await p.chromium.launch(executable_path=args.chromium, headless=True,
                                          args=["--no-sandbox", "--disable-gpu"])
        page = await browser.new_page(viewport={"width": 1600, "height": 1000})
        errors = []
        page.on("pageerror", lambda e: errors.append(str(e)))
        await page.goto(comfy.url, wait_until="networkidle")
        await page.wait_for_function("window.app && window.app.graph", timeout=120000)
        # The template browser (a first visit opens it by itself) with this pack's entries.
        with contextlib.suppress(Exception):
            heading = page.get_by_text("Get Started with a Template")
            if not await heading.is_visible():
                await page.get_by_text("Templates", exact=True).first.click(timeout=15000)
            await page.get_by_text(FOLDER_NAME, exact=True).first.click(timeout=15000)
            await page.wait_for_timeout(2000)
            shot = args.results / "front_end_templates.png"
            await page.screenshot(path=str(shot))
            out["screenshot_templates"] = str(shot)
        await page.keyboard.press("Escape")
        for name in ("text_to_image", "image_to_image", "inpainting"):
            graph = load(EXAMPLES / f"vorna_{name}.json")
            await page.evaluate("async (g) => { await window.app.loadGraphData(g); }", graph)
            await page.wait_for_timeout(1000)
            count = await page.evaluate("window.app.graph._nodes.length")
            check(count == len(graph["nodes"]), f"{name}: {count} nodes in the front end's graph")
            # Queue from the front end: it turns the saved graph into the prompt it sends.
            # Its messages go to the page's own websocket; the history tells the outcome.
            _, before = await comfy.get("/history")
            await page.evaluate("async () => { await window.app.queuePrompt(0, 1); }")
            entry = await new_history_entry(comfy, set(before), 300)
            status = entry.get("status", {}).get("status_str")
            check(status == "success", f"{name} queued from the front end: {status}")
            await page.wait_for_timeout(1500)
            shot = args.results / f"front_end_{name}.png"
            await page.screenshot(path=str(shot))
            out[f"screenshot_{name}"] = str(shot)
        out["page_errors"] = errors[:5]
        await browser.close()
    return out


def run_check(check_main, parser):
    """Runs a check's coroutine with its parsed arguments; a failed check
    ends the process with its reason and status 1."""
    try:
        asyncio.run(check_main(parser.parse_args()))
    except Failed as e:
        print(f"FAILED: {e}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--comfyui", type=Path, required=True)
    parser.add_argument("--stubs", type=Path, required=True)
    parser.add_argument("--chromium", required=True)
    parser.add_argument("--results", type=Path, required=True)
    run_check(main, parser)
