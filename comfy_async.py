"""The executing nodes as coroutine nodes, for a ComfyUI that runs them.

The package's entry methods block until the service answers. Called as they
are, they hold ComfyUI's executing thread: Cancel is seen only when the call
returns, nothing shows that a node waits, and independent remote calls of one
graph run one after the other. Here each call runs in a daemon thread of its
own while a coroutine waits for it; every POLL_SECONDS the coroutine checks
ComfyUI's interrupt flag, and each second it shows on the node how long it
has waited.
ComfyUI runs coroutine nodes as tasks, so independent nodes of a graph wait
on the service at the same time.

Why a thread of our own and not asyncio.to_thread or the loop's default
executor: ComfyUI runs each prompt in asyncio.run(), which on exit waits for
the default executor's threads, so after Cancel the queue would stay blocked
until the abandoned call ended. A daemon thread also lets Ctrl-C stop ComfyUI
at once. An abandoned call runs on until it ends or times out (the service is
not told); its answer or error is dropped.
"""
import asyncio
import contextvars
import functools
import inspect
import logging
import sys
import threading
import time

logger = logging.getLogger(__name__)

POLL_SECONDS = 0.25
# What a node shows when its wait ends, followed by the seconds it waited.
ANSWERED = "service answered in"
FAILED = "the service call failed after"
TIMED_OUT = "the service call timed out after"
CANCELLED = "cancelled after"
# Hidden input through which ComfyUI passes the node's id (for progress text).
NODE_ID_INPUT = "unique_id"

EXECUTING_NODES = ("VornaCLIPTextEncode", "Vorna KSampler", "Vorna VAEDecode", "Vorna VAEEncode")


class Host:
    """What the coroutine needs of a running ComfyUI, looked up at each use
    so that a patched function is the one called."""

    def __init__(self, model_management, server):
        self.model_management = model_management
        self.server = server
        # The prompts' own keys (prompt_keys.PromptKeys), where installed.
        self.keys = None

    def check_interrupt(self):
        self.model_management.throw_exception_if_processing_interrupted()

    def show(self, text, node_id):
        self.server.PromptServer.instance.send_progress_text(text, node_id)


def running_comfyui():
    """(Host, None) for a running ComfyUI that runs coroutine nodes; else
    (None, why not), where `why` is None when there is no ComfyUI at all (the
    repository's harness, a test that imports the folder). Only modules
    already imported are consulted, so nothing is imported here."""
    model_management = sys.modules.get("comfy.model_management")
    if model_management is None:
        return None, None
    server = sys.modules.get("server")
    execution = sys.modules.get("execution")
    if not callable(getattr(model_management, "throw_exception_if_processing_interrupted", None)):
        return None, "comfy.model_management has no throw_exception_if_processing_interrupted()"
    if not callable(getattr(getattr(server, "PromptServer", None), "send_progress_text", None)):
        return None, "the server module has no PromptServer.send_progress_text()"
    # Before coroutine nodes (0.3.45), ComfyUI's execute() was a plain function.
    if execution is not None and not inspect.iscoroutinefunction(getattr(execution, "execute", None)):
        return None, "execution.execute() is not a coroutine function: this ComfyUI runs no coroutine nodes"
    return Host(model_management, server), None


def _start_in_thread(call, name):
    """Runs call() in a daemon thread; returns a future of the running
    loop that gets its outcome, unless the future is cancelled or the loop
    has closed by then, in which case the outcome is dropped."""
    loop = asyncio.get_running_loop()
    future = loop.create_future()
    # ComfyUI's per-node context variables and torch's inference mode are
    # per thread; the call sees what the node would have seen on the loop's.
    context = contextvars.copy_context()
    torch = sys.modules.get("torch")
    inference_mode = torch is not None and torch.is_inference_mode_enabled()
    started = time.monotonic()

    def hand_over(outcome, failed):
        if future.done():       # cancelled: nobody waits for it any more
            return
        if failed:
            future.set_exception(outcome)
        else:
            future.set_result(outcome)

    def work():
        try:
            if inference_mode:
                with torch.inference_mode():
                    outcome = context.run(call)
            else:
                outcome = context.run(call)
            failed = False
        except BaseException as e:   # noqa: BLE001 - handed over unchanged
            outcome, failed = e, True
        try:
            loop.call_soon_threadsafe(hand_over, outcome, failed)
        except RuntimeError:
            # The loop has closed: the prompt that asked has ended.
            logger.debug("%s: an abandoned call ended after %.1f s (%s); dropped", name,
                         time.monotonic() - started, type(outcome).__name__ if failed else "answer")

    threading.Thread(target=work, name=name, daemon=True).start()
    return future


async def wait_for_call(call, node_id, host, name):
    """Runs one blocking call in its own thread and waits for it, checking
    ComfyUI's interrupt and showing the wait on the node meanwhile. The
    interrupt (an Exception, or a BaseException in newer ComfyUI) and
    CancelledError leave unchanged; the call is then abandoned. However the
    wait ends, a node that was shown waiting is then shown how long it waited."""
    started = time.monotonic()
    future = _start_in_thread(call, name)
    waited, shown, ending = False, None, None
    try:
        while True:
            done, _ = await asyncio.wait((future,), timeout=POLL_SECONDS)
            if done:
                break
            waited = True
            try:
                host.check_interrupt()
            except BaseException:
                ending = CANCELLED
                raise
            # The text changes once a second; the node is told only then.
            text = f"waiting for the service: {int(time.monotonic() - started)} s"
            if node_id is not None and text != shown and _show(host, text, node_id):
                shown = text
        result = future.result()
        ending = ANSWERED
        return result
    except BaseException as e:
        if ending is None:
            ending = TIMED_OUT if _timed_out(e) else FAILED if isinstance(e, Exception) else CANCELLED
        raise
    finally:
        if not future.done():
            future.cancel()
        # Do not leave "waiting" on a node whose wait has ended.
        if waited and node_id is not None:
            _show(host, f"{ending} {time.monotonic() - started:.1f} s", node_id)


def _timed_out(error):
    httpx = sys.modules.get("httpx")
    return isinstance(error, TimeoutError) or (httpx is not None and isinstance(error, httpx.TimeoutException))


def _show(host, text, node_id):
    try:
        host.show(text, node_id)
        return True
    except Exception as e:  # noqa: BLE001 - a progress line is not worth failing the node for
        logger.debug("cannot show progress text on node %s: %s", node_id, e)
        return False


def coroutine_node(cls, host):
    """A subclass of node class `cls` whose entry method is a coroutine that
    runs cls's entry method through wait_for_call. Inputs, outputs and the
    other class attributes stay those of `cls`; a hidden input brings the
    node id."""
    function = cls.FUNCTION
    signature = inspect.signature(getattr(cls, function))
    params = list(signature.parameters.values())
    if NODE_ID_INPUT in signature.parameters:
        raise TypeError(f"{cls.__name__} already has an input named {NODE_ID_INPUT!r}")
    extra = inspect.Parameter(NODE_ID_INPUT, inspect.Parameter.KEYWORD_ONLY, default=None)
    if params and params[-1].kind is inspect.Parameter.VAR_KEYWORD:
        params.insert(len(params) - 1, extra)
    else:
        params.append(extra)

    async def entry(self, **inputs):
        node_id = inputs.pop(NODE_ID_INPUT, None)
        # Looked up per call, so a patched method of the package's class is used.
        method = getattr(cls, function)
        name = f"vorna {cls.__name__} node {node_id}"
        call = functools.partial(method, self, **inputs)
        if host.keys is not None:
            # Sent with the running prompt's own key, if it has one.
            call = host.keys.bind(call)
        return await wait_for_call(call, node_id, host, name)

    entry.__name__ = function
    entry.__qualname__ = f"{cls.__qualname__}.{function}"
    entry.__doc__ = getattr(cls, function).__doc__
    entry.__signature__ = signature.replace(parameters=params)

    def input_types(s):
        types = cls.INPUT_TYPES()
        types.setdefault("hidden", {})[NODE_ID_INPUT] = "UNIQUE_ID"
        return types

    input_types.__qualname__ = f"{cls.__qualname__}.INPUT_TYPES"
    return type(cls.__name__, (cls,), {
        "__module__": __name__, "__qualname__": cls.__qualname__, "__doc__": cls.__doc__,
        "INPUT_TYPES": classmethod(input_types), function: entry,
    })


def for_host(classes, host=None, on_host=None):
    """The node table to register: in a ComfyUI that runs coroutine nodes,
    the executing nodes become coroutine nodes (and on_host(host), when
    given, installs what gives their calls a prompt's own key: host.keys);
    elsewhere the table is returned as it is, with one warning in a ComfyUI
    where the wrapping does not apply."""
    if host is None:
        host, why_not = running_comfyui()
        if host is None:
            if why_not is not None:
                # Otherwise nobody could tell why Cancel waits for the call to end.
                logger.warning("vorna nodes: service calls block ComfyUI while they wait (Cancel takes effect "
                               "when the call ends, no progress text, one call at a time): %s", why_not)
            return classes
    if on_host is not None:
        host.keys = on_host(host)
    table = {}
    for key, cls in classes.items():
        if key in EXECUTING_NODES:
            cls = coroutine_node(cls, host)
        table[key] = cls
    return table
