"""Keys that belong to one prompt, in a running ComfyUI.

The key set at start-up, or by a "Vorna API Key" node, is one for the whole
process. Two things give a prompt a key of its own, for every service call
it makes, whatever order ComfyUI runs its nodes in:

1. the key sent with the /prompt request, extra_data["vorna_api_key"] (a
   headless client's, or the front-end setting of the user who queued it);
2. otherwise, the key that the prompt's "Vorna API Key" node names (the node
   still sets the process-wide key for later prompts when it runs).

Otherwise the process-wide key applies, as it always did.

How it hangs together:
- when a prompt is posted, a middleware on POST /prompt refuses at once what
  cannot run as asked (a request key that cannot be sent, two key nodes
  naming different keys, a key node whose inputs are links), with ComfyUI's
  own error answer and without the key in it;
- ComfyUI then calls the on-prompt handler before it validates and queues
  the prompt: the request key leaves extra_data there, so it never reaches
  the queue, /queue, /history, logs or saved pictures, and is kept here,
  under the prompt's id, with what the key node names;
- each service call of that prompt runs with the prompt's key in
  config._prompt_api_key (comfy_async binds it when a node starts);
- ComfyUI calls PromptServer.queue_updated whenever its queue changes (a
  prompt queued, started, ended however, removed or cleared); a prompt no
  longer pending or running is then forgotten, and the kept client of its
  request key closed.

The key node's key is read once per prompt, when the prompt first needs it
while running (not when it is queued): the key stays out of memory while
the prompt waits, a key rotated meanwhile is the one used, the node's own
refusals stay its errors at run time, and the service calls and the node
use the very same reading.
"""
import contextvars
import functools
import logging
import sys
import threading
import uuid

from ._engine import submodule

logger = logging.getLogger(__name__)

REQUEST_KEY = "vorna_api_key"
KEY_NODE = "VornaAPIClient"
PROMPT_PATHS = ("/prompt", "/api/prompt")
WHERE = f'extra_data["{REQUEST_KEY}"]'

# The prompt ids that the on-prompt handler took in, while the middleware
# around the request collects them (None outside one).
_ARRIVING = contextvars.ContextVar("vorna_arriving_prompts", default=None)

# The running ComfyUI's PromptKeys, once installed.
ACTIVE = None


class Refusal(Exception):
    """Why a prompt cannot run as asked, and the key nodes concerned."""

    def __init__(self, message, node_ids=()):
        super().__init__(message)
        self.node_ids = tuple(node_ids)

    def answer(self, prompt):
        """ComfyUI's answer to a prompt that failed validation."""
        error = {"type": "vorna_api_key", "message": "Vorna API key", "details": str(self), "extra_info": {}}
        node_errors = {node_id: {"errors": [error], "dependent_outputs": [], "class_type": KEY_NODE}
                       for node_id in self.node_ids if isinstance(prompt, dict) and node_id in prompt}
        return {"error": error, "node_errors": node_errors}


class PromptKey:
    """One prompt's own key: the request's, and what its key node names."""
    __slots__ = ("request_key", "node", "queued", "_lock", "_read", "_reading")

    def __init__(self, request_key, node):
        self.request_key = request_key      # text, or None
        self.node = node                    # (node ids, source, name), or None
        self.queued = False                 # in ComfyUI's queue (or through it)
        self._lock = threading.Lock()
        self._read = None                   # read_key's (key, where), once read
        self._reading = None                # or why it could not be read

    def __repr__(self):
        # Never the key.
        return (f"<prompt key: {'the request key' if self.request_key is not None else 'no request key'}, "
                f"key node {self.node[0] if self.node else None}>")

    def node_key(self, read_key):
        """The key node's (key, where), read on the first call only; its
        refusal raises, then and every time after."""
        with self._lock:
            if self._read is None and self._reading is None:
                _, source, name = self.node
                try:
                    self._read = read_key(source, name)
                except ValueError as e:
                    self._reading = e
            if self._reading is not None:
                raise self._reading
            return self._read


class PromptKeys:
    """The keys of the prompts ComfyUI holds. `read_key(source, name)` reads
    what a key node names ((key or None, where)); `key_file_path(name)` is
    the file a "file" source names (ValueError for a bad name); `live_ids()` gives the ids
    of the prompts pending or running; `running_prompt_id()` the id of the
    prompt whose node runs in this context, or None."""

    def __init__(self, read_key, key_file_path, live_ids, running_prompt_id):
        self.read_key = read_key
        self.key_file_path = key_file_path
        self.live_ids = live_ids
        self.running_prompt_id = running_prompt_id
        self._lock = threading.Lock()
        self._prompts = {}

    def __repr__(self):
        return f"<keys of {len(self._prompts)} prompts>"

    # --- when a prompt is posted ----------------------------------------------------------------

    def examine(self, body):
        """The prompt's own key (a PromptKey), or None when it has none;
        Refusal when it cannot run as asked."""
        extra = body.get("extra_data")
        request_key = None
        if isinstance(extra, dict) and REQUEST_KEY in extra:
            request_key = extra[REQUEST_KEY]
            _check_request_key(request_key)
        node = _key_node(body, self.key_file_path)
        if request_key is None and node is None:
            return None
        prompt_id = body.get("prompt_id")
        if prompt_id is not None and (str(prompt_id) in self._prompts or str(prompt_id) in self.live_ids()):
            # Its calls could not tell it from the other prompt of that id.
            raise Refusal(f"a prompt with prompt_id {str(prompt_id)!r} is already queued")
        return PromptKey(request_key, node)

    def on_prompt(self, body):
        """ComfyUI's on-prompt handler: takes the request key out of the
        prompt and keeps the prompt's own key. What cannot run as asked
        (refused by the middleware before, unless the request came another
        way) loses its prompt, so that ComfyUI refuses it."""
        if not isinstance(body, dict):
            return body
        extra = body.get("extra_data")
        had_key = isinstance(extra, dict) and REQUEST_KEY in extra
        try:
            found = self.examine(body)
            if had_key:
                del extra[REQUEST_KEY]
            if found is None:
                return body
            arriving = _ARRIVING.get()
            if arriving is None:
                # Not through the middleware: nothing would follow the prompt to its end.
                raise Refusal("this prompt came in past the Vorna nodes' /prompt check")
            if body.get("prompt_id") is None:
                body["prompt_id"] = str(uuid.uuid4())
            prompt_id = str(body["prompt_id"])
            with self._lock:
                self._prompts[prompt_id] = found
            arriving.append(prompt_id)
        except Exception as e:      # noqa: BLE001 - ComfyUI would log it and queue the prompt anyway
            if had_key:
                extra.pop(REQUEST_KEY, None)
            body.pop("prompt", None)    # "No prompt provided": the prompt does not run
            logger.error("Vorna: prompt refused: %s", e if isinstance(e, Refusal) else type(e).__name__)
        return body

    async def middleware(self, request, handler):
        """aiohttp middleware: refuses at once on POST /prompt what cannot
        run as asked; follows what the on-prompt handler took in until
        ComfyUI has queued it or refused it."""
        if request.method != "POST" or request.path not in PROMPT_PATHS:
            return await handler(request)
        raw = await request.read()
        # Only a prompt that names one of them can have a key of its own.
        if REQUEST_KEY.encode() in raw or KEY_NODE.encode() in raw:
            try:
                body = await request.json()
            except ValueError:
                body = None
            if isinstance(body, dict):
                try:
                    self.examine(body)
                except Refusal as e:
                    from aiohttp import web
                    logger.warning("Vorna: prompt refused: %s", e)
                    return web.json_response(e.answer(body.get("prompt")), status=400)
        arriving = []
        token = _ARRIVING.set(arriving)
        queued = False
        try:
            response = await handler(request)
            queued = getattr(response, "status", None) == 200
            return response
        finally:
            _ARRIVING.reset(token)
            if arriving:
                self.arrived(arriving, queued)

    def arrived(self, prompt_ids, queued):
        """The prompts taken in were queued, or refused (then forgotten)."""
        with self._lock:
            for prompt_id in prompt_ids:
                if prompt_id in self._prompts:
                    if queued:
                        self._prompts[prompt_id].queued = True
                    else:
                        self._forget(prompt_id)
        # It may have run to its end already.
        self.sweep()

    # --- while the prompt runs ------------------------------------------------------------------

    def _running(self):
        prompt_id = self.running_prompt_id()
        return None if prompt_id is None else self._prompts.get(str(prompt_id))

    def bind(self, call):
        """`call`, made to run with the running prompt's own key (when it
        has one). The request key is taken now, a key node's key read (once
        per prompt) when the call runs; either way the call keeps its key
        when the prompt ends meanwhile (Cancel) and is forgotten."""
        prompt = self._running()
        if prompt is None:
            return call
        return functools.partial(self._run_with_key, prompt, prompt.request_key, call)

    def _run_with_key(self, prompt, request_key, call):
        if request_key is not None:
            key = request_key
        else:
            node_ids = ", ".join(prompt.node[0])
            try:
                key, _ = prompt.node_key(self.read_key)
            except ValueError as e:
                raise ValueError(f"the key of this prompt's Vorna API Key node ({node_ids}) cannot be read: {e}"
                                 ) from None
            if key is None:     # "startup": the key read when ComfyUI started
                key = submodule("config")._CONFIG.api_key
        var = submodule("config")._prompt_api_key
        token = var.set(key)
        try:
            return call()
        finally:
            var.reset(token)

    def node_key(self, source, name):
        """For the key node: (key or None, where) as read_key gives them,
        read once per prompt when the running prompt names this key, and
        what that prompt's own calls are sent with, in words (None when the
        prompt has no key of its own)."""
        prompt = self._running()
        if prompt is None:
            return self.read_key(source, name) + (None,)
        if prompt.request_key is not None:
            uses = "the key sent with it"
        elif prompt.node is not None:
            uses = "this key"
        else:
            uses = None
        if prompt.node is None or prompt.node[1:] != (source, name):
            return self.read_key(source, name) + (uses,)
        return prompt.node_key(self.read_key) + (uses,)

    # --- when the prompt has left the queue -----------------------------------------------------

    def sweep(self):
        """Forgets the prompts that are no longer pending or running, and
        closes the kept clients of their request keys."""
        if not self._prompts:
            return
        live = self.live_ids()
        with self._lock:
            gone = [prompt_id for prompt_id, prompt in self._prompts.items()
                    if prompt.queued and prompt_id not in live]
            keys = {self._forget(prompt_id) for prompt_id in gone}
            # A key another live prompt was sent with keeps its client.
            keys -= {prompt.request_key for prompt in self._prompts.values()}
        keys.discard(None)
        for key in keys:
            submodule("base")._forget_api_key(key)

    def _forget(self, prompt_id):
        prompt = self._prompts.pop(prompt_id)
        key, prompt.request_key = prompt.request_key, None
        return key


def _check_request_key(key):
    if not isinstance(key, str):
        raise Refusal(f"{WHERE} is not text")
    if not key:
        raise Refusal(f"{WHERE} is empty")
    problem = submodule("config")._api_key_problem(key)
    if problem is not None:
        raise Refusal(f"{WHERE} holds {problem}")


def _key_node(body, key_file_path):
    """(node ids, source, name) of the key nodes that will run, or None;
    Refusal when they name different keys, or a key only known once the
    prompt runs."""
    prompt = body.get("prompt")
    if not isinstance(prompt, dict):
        return None
    targets = body.get("partial_execution_targets")
    named = {}
    for node_id, node in prompt.items():
        if not isinstance(node, dict) or node.get("class_type") != KEY_NODE:
            continue
        if isinstance(targets, list) and node_id not in targets:
            continue    # not among the outputs run: it does not run
        inputs = node.get("inputs") if isinstance(node.get("inputs"), dict) else {}
        source, name = inputs.get("source"), inputs.get("name")
        if not isinstance(source, str) or not isinstance(name, str):
            raise Refusal(f"the Vorna API Key node {node_id} must have its source and name typed in, not linked "
                          "from another node: a prompt's key is known before its nodes run", [node_id])
        named.setdefault(_same_key(source, name, key_file_path), []).append((node_id, source, name))
    if not named:
        return None
    if len(named) > 1:
        ids = sorted((node_id for nodes in named.values() for node_id, _, _ in nodes), key=_node_order)
        raise Refusal(f"the Vorna API Key nodes {', '.join(ids)} name different keys, and a prompt sends one: "
                      "keep one of them, or make them name the same key", ids)
    nodes, = named.values()
    return (tuple(node_id for node_id, _, _ in nodes),) + nodes[0][1:]


def _node_order(node_id):
    return (0, int(node_id), node_id) if node_id.isdigit() else (1, 0, node_id)


def _same_key(source, name, key_file_path):
    """What two key nodes must agree on to name the same key."""
    if source == "startup":
        return (source,)
    if source == "file":
        try:
            return source, key_file_path(name)
        except ValueError:
            pass
    return source, name.strip()


def show_on_node(text):
    """Shows `text` on the node that runs in this context, in a running
    ComfyUI; a progress line is not worth failing the node for."""
    server = getattr(sys.modules.get("server"), "PromptServer", None)
    utils = sys.modules.get("comfy_execution.utils")
    try:
        running = utils.get_executing_context()
        if running is not None:
            server.instance.send_progress_text(text, running.node_id)
    except Exception as e:  # noqa: BLE001
        logger.debug("cannot show the key node's state: %s", e)


def node_key(source, name, read_key):
    """The key node's (key or None, where, what its prompt's calls use):
    see PromptKeys.node_key; without installed prompt keys, read_key's."""
    keys = ACTIVE
    if keys is None:
        return read_key(source, name) + (None,)
    return keys.node_key(source, name)


def install(host, read_key, key_file_path):
    """Installs the prompt keys in the running ComfyUI of `host` (see
    comfy_async.Host) and returns them, or None with one warning where this
    ComfyUI lacks what they need. The key node's module reads keys
    (`read_key`, `key_file_path`: see PromptKeys); this one only holds them."""
    global ACTIVE
    server = getattr(getattr(host.server, "PromptServer", None), "instance", None)
    try:
        import comfy_execution.utils as utils
        running = utils.get_executing_context
    except (ImportError, AttributeError):
        running = None
    queue = getattr(server, "prompt_queue", None)
    live = getattr(queue, "get_current_queue_volatile", None) or getattr(queue, "get_current_queue", None)
    app = getattr(server, "app", None)
    needs = {"comfy_execution.utils.get_executing_context()": running,
             "PromptServer.add_on_prompt_handler()": getattr(server, "add_on_prompt_handler", None),
             "PromptServer.queue_updated()": getattr(server, "queue_updated", None),
             "PromptQueue.get_current_queue()": live,
             "PromptServer.app.middlewares": getattr(app, "middlewares", None)}
    missing = [what for what, found in needs.items() if found is None]
    if missing:
        logger.warning("vorna nodes: no key per prompt or per request, this ComfyUI lacks %s: the Vorna API Key "
                       "node sets the key for later prompts, and extra_data[%r] is not read", ", ".join(missing),
                       REQUEST_KEY)
        return None

    def live_ids():
        running_items, pending = live()
        return {str(item[1]) for item in [*running_items, *pending]}

    def running_prompt_id():
        context = running()
        return None if context is None else context.prompt_id

    keys = PromptKeys(read_key, key_file_path, live_ids, running_prompt_id)
    from aiohttp import web

    @web.middleware
    async def middleware(request, handler):
        return await keys.middleware(request, handler)

    try:
        app.middlewares.append(middleware)
    except RuntimeError as e:   # the server already started: its middlewares are frozen
        logger.warning("vorna nodes: no key per prompt or per request: %s", e)
        return None
    handlers = getattr(server, "on_prompt_handlers", None)
    if isinstance(handlers, list):
        # First, so that no other pack's handler sees (or logs) the request key.
        handlers.insert(0, keys.on_prompt)
    else:
        server.add_on_prompt_handler(keys.on_prompt)
    updated = server.queue_updated

    # ComfyUI calls this on every change of its queue; a prompt that left it is forgotten.
    def queue_updated(*args, **kwargs):
        result = updated(*args, **kwargs)
        try:
            keys.sweep()
        except Exception as e:  # noqa: BLE001 - the queue's own update has happened; ours waits for the next
            logger.warning("vorna nodes: cannot forget the keys of ended prompts now: %s", type(e).__name__)
        return result

    server.queue_updated = queue_updated
    ACTIVE = keys
    return keys
