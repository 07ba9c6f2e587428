"""Runs the nodes in a real ComfyUI and measures what the coroutine nodes are
for. Started by tools/comfyui/check.sh, with ComfyUI's Python, from the
repository root; ComfyUI must already have this folder as a custom node.

Steps: the three API workflows; the same graph again (cached); two text
encodes against a stand-in that answers after 2 s (they must overlap);
Cancel during a delayed sampler call (the prompt must end within 1 s and the
next one run); progress text on the websocket; the example workflows listed
as templates, one loaded into the front end in Chromium, screenshotted and
queued from there; prompts' own keys (12 prompts in a row alternating two
key nodes, each request must carry its own prompt's key; two prompts queued
back to back with different extra_data keys, each sent with its own, and
neither key in /queue, /history, the log, the output folder, the PNG text
chunks or any file ComfyUI wrote; refusals); Ctrl-C while a call waits.
Prints the figures and writes them to RESULTS/figures.json; exits non-zero
when a check fails.
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

from tools.service.auth import fingerprint, read_key_log
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
    """The stand-in service on a fixed port, restarted with other switches;
    besides `key` it accepts `more_keys` and records in `key_log` which key
    each request to an endpoint carried."""

    def __init__(self, port, key, results, more_keys=()):
        self.port, self.key, self.results = port, key, results
        self.key_log = results / "service_keys.jsonl"
        self.key_log.unlink(missing_ok=True)
        self.always = {"api_keys": ",".join(more_keys), "key_log": self.key_log}
        self.server = None

    def start(self, fault="none", **switches):
        self.stop()
        switches = {**self.always, **switches}
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
    def __init__(self, args, service_url, key, python=sys.executable, path=None, env=None):
        """Starts ComfyUI with `python` (this interpreter unless told), PATH set to `path` and more
        variables `env` when given."""
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.client_id = uuid.uuid4().hex
        self.started = time.time()
        env = dict(os.environ, VORNA_API_BASE_URL=service_url, VORNA_API_KEY=key, **(env or {}),
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
        status, answer = await self.post_prompt(prompt, **extra)
        if status != 200:
            raise Failed(f"prompt refused: {json.dumps(answer)[:2000]}")
        return answer["prompt_id"]

    async def post_prompt(self, prompt, **extra):
        """POST /prompt; (status, answer)."""
        body = {"prompt": prompt, "client_id": self.client_id, **extra}
        async with self.session.post(self.url + "/prompt", json=body) as r:
            return r.status, await r.json()

    async def wait(self, predicate, timeout, start=0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for i in range(start, len(self.messages)):
                if predicate(*self.messages[i]):
                    return self.messages[i]
            await asyncio.sleep(0.01)
        raise Failed("timed out waiting for a websocket message")

    async def ended(self, prompt_id, timeout, since=0):
        """The message that ended a prompt."""
        return await self.wait(lambda t, kind, data: data.get("prompt_id") == prompt_id and kind in (
            "execution_success", "execution_error", "execution_interrupted"), timeout, since)

    def of_prompt(self, prompt_id, since=0):
        return [m for m in self.messages[since:] if m[2].get("prompt_id") == prompt_id]

    async def run(self, prompt, timeout=300, **extra):
        """Queues a prompt, waits for its end; returns (outcome, seconds from start to end, messages)."""
        since = len(self.messages)
        prompt_id = await self.queue(prompt, **extra)
        end = await self.ended(prompt_id, timeout, since)
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


# Environment variables of ComfyUI that the alternating key nodes name.
KEY_VARIABLES = ("VORNA_KEY_A", "VORNA_KEY_B")


def fresh_prompt(take, **key_node):
    """text_to_image made new (no call served from ComfyUI's cache), with a
    key node (id 99) naming `key_node` when given."""
    prompt = load(WORKFLOWS / "text_to_image.json")
    prompt["4"]["inputs"]["text"] += f", take {take}"
    prompt["5"]["inputs"]["text"] += f", take {take}"
    prompt["7"]["inputs"]["seed"] = 5000 + take
    if key_node:
        prompt["99"] = {"class_type": "VornaAPIClient", "inputs": key_node}
    return prompt


def keys_of(service, since):
    """The key fingerprints of the endpoint requests the stand-in received since record `since`."""
    return [record["key"] for record in read_key_log(service.key_log)[since:]]


async def alternating_key_nodes(comfy, service, keys, count=12):
    """`count` prompts in a row, alternating two key nodes: each request must
    carry its own prompt's key, and the node show which source is in effect."""
    wrong, requests, shown = [], 0, {}
    for take in range(count):
        variable = KEY_VARIABLES[take % 2]
        before, since = len(read_key_log(service.key_log)), len(comfy.messages)
        outcome, _, _, _ = await comfy.run(fresh_prompt(take, source="environment", name=variable))
        check(outcome == "execution_success", f"prompt {take + 1} with the key node naming {variable}: {outcome}")
        sent = keys_of(service, before)
        requests += len(sent)
        if len(sent) != 4 or set(sent) != {fingerprint(keys[variable])}:
            wrong.append(take + 1)
        shown[variable] = [text for _, text in texts_per_node(comfy, since).get("99", [])]
    check(not wrong, f"{count - len(wrong)} of {count} prompts sent every request with their own key "
                     f"({requests} requests; wrong: {wrong or 'none'})")
    check(all(len(texts) == 1 and f"environment variable {variable}" in texts[0] for variable, texts in shown.items())
          and not any(key in text for texts in shown.values() for text in texts for key in keys.values()),
          f"the key node shows which source is in effect, never the key: {shown}")
    return {"prompts": count, "wrong": len(wrong), "requests": requests, "key_node_shows": shown}


def png_text_chunks(path):
    """The text chunks (tEXt, zTXt, iTXt) of a PNG, as bytes."""
    import zlib
    data = Path(path).read_bytes()
    chunks, at = [], 8
    while at + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + size]
        if kind == b"tEXt":
            chunks.append(body)
        elif kind == b"zTXt":
            name, _, rest = body.partition(b"\0")
            chunks.append(name + b"\0" + zlib.decompress(rest[1:]))
        elif kind == b"iTXt":
            name, _, rest = body.partition(b"\0")
            compressed, text = rest[0], rest[2:].split(b"\0", 2)[-1]
            chunks.append(name + b"\0" + (zlib.decompress(text) if compressed else text))
        at += 12 + size
    return chunks


def files_holding(folder, secrets, since):
    """Files under `folder` changed since `since` (a time) that hold one of `secrets`; and how many were read."""
    found, read = [], 0
    for path in Path(folder).rglob("*"):
        if not path.is_file() or path.stat().st_mtime < since:
            continue
        read += 1
        data = path.read_bytes()
        if any(secret.encode() in data for secret in secrets):
            found.append(str(path))
    return found, read


async def request_keys(comfy, service, args, keys):
    """Two prompts queued back to back, each with its own extra_data key:
    each reaches the service with its own, and neither key is anywhere
    ComfyUI shows or stores things."""
    out = {}
    mine, theirs = keys["request_1"], keys["request_2"]
    # A slow sampler keeps the second prompt waiting in the queue meanwhile.
    service.start(fault="slow", fault_on="sampler", delay=4)
    before, since = len(read_key_log(service.key_log)), len(comfy.messages)
    ids = []
    for take, key in ((20, mine), (21, theirs)):
        ids.append(await comfy.queue(fresh_prompt(take), extra_data={"vorna_api_key": key,
                                                                       "extra_pnginfo": {"workflow": {"take": take}}}))
    _, queue = await comfy.get("/queue")
    waiting = json.dumps(queue)
    check(len(queue["queue_running"]) + len(queue["queue_pending"]) == 2,
          "both prompts in /queue, one running and one waiting")
    check(mine not in waiting and theirs not in waiting and "vorna_api_key" not in waiting,
          "/queue shows neither key while they wait")
    ends = [await comfy.ended(prompt_id, 300, since) for prompt_id in ids]
    check(all(end[1] == "execution_success" for end in ends), f"both prompts ran: {[end[1] for end in ends]}")
    sent = keys_of(service, before)
    check(sent == [fingerprint(mine)] * 4 + [fingerprint(theirs)] * 4,
          f"each prompt's 4 requests carried its own key ({len(sent)} requests)")
    out["requests"] = len(sent)

    _, history = await comfy.get("/history")
    check(not any(key in json.dumps(history) for key in (mine, theirs)), "/history shows neither key")
    log = comfy.log_path.read_bytes()
    check(not any(key.encode() in log for key in (mine, theirs)), f"ComfyUI's log holds neither key ({len(log)} bytes)")
    pictures = [args.comfyui / "output" / img.get("subfolder", "") / img["filename"]
                for prompt_id in ids for img in saved_images(history, prompt_id)]
    chunks = [chunk for picture in pictures for chunk in png_text_chunks(picture)]
    check(len(pictures) == 2 and len(chunks) >= 4 and not any(key.encode() in chunk for chunk in chunks
                                                            for key in (mine, theirs)),
          f"the {len(pictures)} pictures' {len(chunks)} PNG text chunks hold neither key")
    held, read = files_holding(args.comfyui, (mine, theirs), comfy.started)
    check(not held, f"none of the {read} files ComfyUI wrote since it started holds either key: {held}")
    out.update(pictures=len(pictures), png_text_chunks=len(chunks), files_scanned=read)
    service.start()
    return out


async def refusals(comfy, keys):
    """What cannot run as asked is refused at once, with ComfyUI's error answer, never quoting the key."""
    out = {}
    bad = keys["request_1"] + "\n"
    status, answer = await comfy.post_prompt(fresh_prompt(30), extra_data={"vorna_api_key": bad})
    check(status == 400 and "holds a line break" in answer["error"]["details"] and keys["request_1"] not in
          json.dumps(answer), f"a key with a line break: {status} {answer['error']['details']!r}")
    out["bad_key"] = answer["error"]["details"]
    prompt = fresh_prompt(31, source="environment", name=KEY_VARIABLES[0])
    prompt["98"] = {"class_type": "VornaAPIClient", "inputs": {"source": "environment", "name": KEY_VARIABLES[1]}}
    status, answer = await comfy.post_prompt(prompt)
    check(status == 400 and sorted(answer["node_errors"]) == ["98", "99"],
          f"two key nodes naming different keys: {status} {answer['error']['details']!r}")
    out["two_key_nodes"] = answer["error"]["details"]
    return out


async def prompt_keys(comfy, service, args, keys):
    return {"key_nodes": await alternating_key_nodes(comfy, service, keys),
            "request_keys": await request_keys(comfy, service, args, keys),
            "refused": await refusals(comfy, keys)}


def check_keys():
    """The process-wide key and the ones prompts bring: (process-wide, {name: key})."""
    keys = {name: secrets.token_urlsafe(24) for name in (*KEY_VARIABLES, "request_1", "request_2")}
    return secrets.token_urlsafe(24), keys


async def main(args):
    figures = {}
    key, keys = check_keys()
    service = StandIn(free_port(), key, args.results, more_keys=keys.values())
    service.start()
    comfy = ComfyUI(args, f"http://127.0.0.1:{service.port}", key,
                    env={variable: keys[variable] for variable in KEY_VARIABLES})
    try:
        await comfy.start()
        print(f"ComfyUI at {comfy.url}; log {comfy.log_path}")
        if args.only_keys:
            print("prompts' own keys")
            figures["keys"] = await prompt_keys(comfy, service, args, keys)
            return

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

        print("prompts' own keys")
        figures["keys"] = await prompt_keys(comfy, service, args, keys)

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


def front_end_parser(doc):
    """The arguments of a check that check.sh starts: ComfyUI's folder, the stand-ins' folder, Chromium, results."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--comfyui", type=Path, required=True)
    parser.add_argument("--stubs", type=Path, required=True)
    parser.add_argument("--chromium", required=True)
    parser.add_argument("--results", type=Path, required=True)
    return parser


if __name__ == "__main__":
    parser = front_end_parser(__doc__)
    parser.add_argument("--only-keys", action="store_true", help="only the steps of the prompts' own keys")
    run_check(main, parser)
