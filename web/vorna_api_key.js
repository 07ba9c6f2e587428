// The Vorna nodes' per-user key: a setting whose value stays in this
// browser (localStorage), sent as extra_data["vorna_api_key"] with each
// prompt this browser queues. Blank: the server's key applies.
//
// The setting renders its own field and never hands the value to the
// settings store, which would write it into ComfyUI's settings file on the
// server; the key is no widget or node property either, so no workflow,
// export or picture carries it.
import { app } from "../../scripts/app.js";
import { api } from "../../scripts/api.js";

const STORAGE = "Vorna.ApiKey";
const REQUEST_KEY = "vorna_api_key";

function storedKey() {
    try {
        return (localStorage.getItem(STORAGE) ?? "").trim();
    } catch {
        return "";  // storage switched off: the server's key
    }
}

function storeKey(text) {
    const key = text.trim();
    if (key) localStorage.setItem(STORAGE, key);
    else localStorage.removeItem(STORAGE);
}

function keyField() {
    const input = document.createElement("input");
    input.type = "password";
    input.autocomplete = "off";
    input.spellcheck = false;
    input.placeholder = "blank: the server's key";
    input.value = storedKey();
    input.className = "p-inputtext";
    input.addEventListener("input", () => storeKey(input.value));
    return input;
}

// The prompt's request body with this browser's key in its extra_data.
function withKey(body, key) {
    const prompt = JSON.parse(body);
    prompt.extra_data = { ...(prompt.extra_data ?? {}), [REQUEST_KEY]: key };
    return JSON.stringify(prompt);
}

app.registerExtension({
    name: "Vorna.ApiKey",
    settings: [
        {
            id: "Vorna.ApiKey",
            category: ["Vorna", "API key", "Your key"],
            name: "Your Vorna API key (kept in this browser only)",
            tooltip: "Sent with each prompt you queue from this browser, for that prompt's Vorna calls. " +
                "Kept in this browser's local storage, never in ComfyUI's settings, workflows or pictures. " +
                "Blank: the server's key.",
            // A renderer of our own: the value never reaches the settings store.
            type: () => keyField(),
            defaultValue: "",
        },
    ],
    async setup() {
        const fetchApi = api.fetchApi;
        api.fetchApi = function (route, options) {
            const key = storedKey();
            if (key && route === "/prompt" && options?.method === "POST" && typeof options.body === "string") {
                // A body that cannot take the key fails the queueing, rather than run on the server's key.
                options = { ...options, body: withKey(options.body, key) };
            }
            return fetchApi.call(this, route, options);
        };
    },
});
