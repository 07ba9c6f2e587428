"""The per-user key in ComfyUI's real front end, driven in headless
Chromium: a user enters a key in the Vorna setting and queues a prompt (the
service must receive that key); the key survives a reload and is used again;
a blank setting sends the server's key; neither an exported workflow (UI or
API format) nor ComfyUI's settings file, nor any file ComfyUI wrote, holds
the key; a key node shows on itself which source is in effect. Started by
`CHECK_SCRIPT=browser_key bash tools/comfyui/check.sh DIR` (run by hand, not
in CI); prints its figures and writes them to RESULTS/browser_key.json.
"""
import json
from pathlib import Path

from tools.comfyui.check import (EXAMPLES, ComfyUI, StandIn, check, check_keys, files_holding, free_port,
                                 front_end_parser, keys_of, load, new_history_entry, run_check)
from tools.service.auth import fingerprint, read_key_log

SETTING = "Vorna.ApiKey"        # the setting's id, and the localStorage entry that keeps the key
FIELD = "input[type=password][placeholder=\"blank: the server's key\"]"


async def front_end_ready(page, url):
    await page.goto(url, wait_until="networkidle")
    await page.wait_for_function("window.app && window.app.graph", timeout=120000)
    await page.keyboard.press("Escape")     # the template browser of a first visit


async def key_field(page):
    """Opens the settings dialog on the Vorna category; its key field."""
    await page.evaluate("() => window.app.extensionManager.command.execute('Comfy.ShowSettingsDialog')")
    await page.get_by_text("Vorna", exact=True).first.click(timeout=15000)
    field = page.locator(FIELD)
    await field.wait_for(timeout=15000)
    return field


async def queue_from_front_end(page, comfy, service, workflow):
    """Loads a workflow (the front end's format) and queues it as the Run button does; the key
    fingerprints of the requests it made."""
    await page.evaluate("async (g) => { await window.app.loadGraphData(g); }", workflow)
    before = len(read_key_log(service.key_log))
    _, history = await comfy.get("/history")
    await page.evaluate("async () => { await window.app.queuePrompt(0, 1); }")
    entry = await new_history_entry(comfy, set(history), 300)
    check(entry.get("status", {}).get("status_str") == "success", "the prompt queued from the front end ran")
    return keys_of(service, before)


def with_seed(workflow, seed):
    """The workflow with another seed on its sampler, so that it runs anew."""
    workflow = json.loads(json.dumps(workflow))
    for node in workflow["nodes"]:
        if node["type"] == "Vorna KSampler":
            node["widgets_values"][0] = seed
    return workflow


async def exported(page, command):
    """What the front end's export command writes, as text."""
    async with page.expect_download() as download:
        await page.evaluate("(c) => window.app.extensionManager.command.execute(c)", command)
    return Path(await (await download.value).path()).read_text()


async def main(args):
    figures = {}
    server_key, keys = check_keys()
    user_key = keys["request_1"]
    service = StandIn(free_port(), server_key, args.results, more_keys=keys.values())
    service.start()
    comfy = ComfyUI(args, f"http://127.0.0.1:{service.port}", server_key, env={"VORNA_KEY_A": keys["VORNA_KEY_A"]})
    text_to_image = load(EXAMPLES / "vorna_text_to_image.json")
    from playwright.async_api import async_playwright
    try:
        await comfy.start()
        async with async_playwright() as p:
            browser = await p.chromium.launch(executable_path=args.chromium, headless=True,
                                              args=["--no-sandbox", "--disable-gpu"])
            page = await browser.new_page(viewport={"width": 1600, "height": 1000}, accept_downloads=True)
            errors = []
            page.on("pageerror", lambda e: errors.append(str(e)))
            await front_end_ready(page, comfy.url)

            print("a key entered in the setting reaches the service")
            field = await key_field(page)
            await field.fill(user_key)
            await page.screenshot(path=str(args.results / "browser_key_setting.png"))
            await page.keyboard.press("Escape")
            check(await page.evaluate("(s) => localStorage.getItem(s)", SETTING) == user_key,
                  "the setting keeps the key in this browser's localStorage")
            sent = await queue_from_front_end(page, comfy, service, with_seed(text_to_image, 101))
            check(sent and set(sent) == {fingerprint(user_key)}, f"its {len(sent)} requests carried the user's key")
            figures["requests_with_the_users_key"] = len(sent)

            print("a reload keeps it")
            await front_end_ready(page, comfy.url)
            field = await key_field(page)
            check(await field.input_value() == user_key, "after a reload the setting still holds the key")
            await page.keyboard.press("Escape")
            sent = await queue_from_front_end(page, comfy, service, with_seed(text_to_image, 102))
            check(sent and set(sent) == {fingerprint(user_key)}, f"after the reload, {len(sent)} requests again")
            figures["requests_after_reload"] = len(sent)

            print("exports hold no key")
            await page.evaluate("() => window.app.extensionManager.setting.set('Comfy.PromptFilename', false)")
            for command in ("Comfy.ExportWorkflow", "Comfy.ExportWorkflowAPI"):
                text = await exported(page, command)
                check(user_key not in text and "vorna_api_key" not in text,
                      f"{command} ({len(text)} characters) holds no key")

            print("the key node shows which source is in effect")
            await page.evaluate("""async (g) => {
                await window.app.loadGraphData(g);
                const node = LiteGraph.createNode("VornaAPIClient");
                node.pos = [860, 560];
                window.app.graph.add(node);
                node.widgets.find((w) => w.name === "name").value = "VORNA_KEY_A";
            }""", with_seed(text_to_image, 103))
            _, before_history = await comfy.get("/history")
            await page.evaluate("async () => { await window.app.queuePrompt(0, 1); }")
            await new_history_entry(comfy, set(before_history), 300)
            await page.wait_for_timeout(1500)
            shown = await page.evaluate("""() => window.app.graph._nodes
                .filter((n) => n.type === "VornaAPIClient")
                .map((n) => (n.widgets ?? []).find((w) => w.name === "$$node-text-preview")?.value ?? null)""")
            check(len(shown) == 1 and shown[0] and "environment variable VORNA_KEY_A" in shown[0]
                  and not any(key in shown[0] for key in (user_key, server_key, keys["VORNA_KEY_A"])),
                  f"the key node shows: {shown}")
            figures["key_node_shows"] = shown[0]
            await page.screenshot(path=str(args.results / "browser_key_node.png"))

            print("blank means the server's key")
            field = await key_field(page)
            await field.fill("")
            await page.keyboard.press("Escape")
            check(await page.evaluate("(s) => localStorage.getItem(s)", SETTING) is None, "a blank setting keeps nothing")
            sent = await queue_from_front_end(page, comfy, service, with_seed(text_to_image, 104))
            # The key node of the prompt before set the process-wide key for later prompts.
            check(sent and set(sent) == {fingerprint(keys["VORNA_KEY_A"])},
                  f"with the setting blank, {len(sent)} requests carried the server's key")
            figures["page_errors"] = errors[:5]
            await browser.close()

        settings = args.comfyui / "user" / "default" / "comfy.settings.json"
        check(settings.is_file() and user_key not in settings.read_text(),
              f"ComfyUI's settings file ({settings.stat().st_size} bytes) does not hold the key")
        held, read = files_holding(args.comfyui, (user_key,), comfy.started)
        check(not held, f"none of the {read} files ComfyUI wrote since it started holds the key: {held}")
        check(user_key.encode() not in comfy.log_path.read_bytes(), "ComfyUI's log does not hold the key")
        figures["files_scanned"] = read
    finally:
        await comfy.close()
        service.stop()
        (args.results / "browser_key.json").write_text(json.dumps(figures, indent=2) + "\n")
        print(json.dumps(figures, indent=2))


if __name__ == "__main__":
    run_check(main, front_end_parser(__doc__))
