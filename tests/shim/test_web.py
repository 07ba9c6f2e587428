"""The front end's key setting (web/vorna_api_key.js), run by Node with
stand-ins for the front end's app and api modules: which requests get the
browser's key, and that the setting's value never goes to the settings
store. The real front end is driven by tools/comfyui/browser_key.py."""
import json
import shutil
import subprocess

import pytest

from tests.support.host import ROOT

# Stand-ins for /scripts/app.js and /scripts/api.js, and a browser's localStorage and document.
APP = """
const stored = new Map();
globalThis.localStorage = {
    getItem: (k) => (stored.has(k) ? stored.get(k) : null),
    setItem: (k, v) => stored.set(k, String(v)),
    removeItem: (k) => stored.delete(k),
};
globalThis.document = { createElement: () => {
    const listeners = {};
    return { addEventListener: (kind, f) => { listeners[kind] = f; }, fire: (kind) => listeners[kind]() };
} };
export const app = { extensions: [], registerExtension(e) { this.extensions.push(e); } };
"""
API = """
export const api = { sent: [], fetchApi(route, options) { this.sent.push([route, options]); return "answer"; } };
"""
RUN = """
import { app } from "./scripts/app.js";
import { api } from "./scripts/api.js";
await import("./extensions/vorna/vorna_api_key.js");
const [extension] = app.extensions;
await extension.setup();
const setting = extension.settings[0];
const stored = [];
const field = setting.type(setting.name, (v) => stored.push(v), undefined);
const prompt = { method: "POST", body: JSON.stringify({ prompt: {}, extra_data: { extra_pnginfo: {} } }) };
const out = {};
api.fetchApi("/prompt", prompt);
out.blank = api.sent.pop()[1] === prompt;
field.value = "  user-key  ";
field.fire("input");
out.answer = api.fetchApi("/prompt", prompt);
out.sent = JSON.parse(api.sent.pop()[1].body);
api.fetchApi("/queue", prompt);
out.other_route = api.sent.pop()[1] === prompt;
api.fetchApi("/prompt", { method: "GET" });
out.get = api.sent.pop()[1].body === undefined;
out.kept = localStorage.getItem("Vorna.ApiKey");
field.value = " ";
field.fire("input");
out.cleared = localStorage.getItem("Vorna.ApiKey");
out.store_writes = stored.length;
console.log(JSON.stringify(out));
"""


def test_the_browsers_key_goes_with_its_prompts_only_and_never_to_the_settings_store(tmp_path):
    node = shutil.which("node")
    if node is None:
        pytest.skip("no Node.js")
    (tmp_path / "scripts").mkdir()
    (tmp_path / "scripts" / "app.js").write_text(APP)
    (tmp_path / "scripts" / "api.js").write_text(API)
    (tmp_path / "extensions" / "vorna").mkdir(parents=True)
    shutil.copy(ROOT / "web" / "vorna_api_key.js", tmp_path / "extensions" / "vorna")
    (tmp_path / "run.mjs").write_text(RUN)
    (tmp_path / "package.json").write_text('{"type": "module"}')
    done = subprocess.run([node, str(tmp_path / "run.mjs")], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out["sent"] == {"prompt": {}, "extra_data": {"extra_pnginfo": {}, "vorna_api_key": "user-key"}}
    assert out["answer"] == "answer"
    # Blank, other routes and other methods: the request as it was.
    assert out["blank"] and out["other_route"] and out["get"]
    assert out["kept"] == "user-key" and out["cleared"] is None and out["store_writes"] == 0
