"""A small stand-in for ComfyUI: loads custom-node folders the way ComfyUI
does, serves their schemas, validates API-format workflows and runs them.

An API-format workflow (what ComfyUI's "Export (API)" writes) maps node ids
to {"class_type": key, "inputs": {name: value or [source_id, output_index]}}.
"""
import asyncio
import contextlib
import functools
import importlib.util
import inspect
import json
import logging
import math
import os
import sys
import time
import traceback
from dataclasses import dataclass, field
from typing import Any, NamedTuple

from . import builtin_nodes, schema

LITERAL_TYPES = ("INT", "FLOAT", "STRING", "BOOLEAN")
_log = logging.getLogger(__name__)


class CustomNodeImportError(ImportError):
    pass


class PromptError(ValueError):
    """The workflow failed validation; `errors` lists every problem found."""

    def __init__(self, errors):
        self.errors = list(errors)
        super().__init__("invalid workflow:\n  " + "\n  ".join(self.errors))


class NodeExecutionError(RuntimeError):
    """A node's entry method failed; the original exception is `__cause__`."""

    def __init__(self, node_id, class_type, message):
        self.node_id, self.class_type = node_id, class_type
        super().__init__(f"node {node_id} ({class_type}): {message}")


class Link(NamedTuple):
    """A plan step: the input is output `index` of node `source`."""
    source: str
    index: int


class Value(NamedTuple):
    """A plan step: the input is this checked literal."""
    value: Any


class Hidden(NamedTuple):
    """A plan step: the host fills the input in (PROMPT, EXTRA_PNGINFO, UNIQUE_ID)."""
    kind: str


@dataclass
class Execution:
    outputs: dict = field(default_factory=dict)   # node id -> returned tuple
    ui: dict = field(default_factory=dict)        # node id -> the "ui" part of a dict result
    order: list = field(default_factory=list)     # node ids in the order they ran

    def saved_images(self):
        return [img["path"] for node_ui in self.ui.values() if node_ui
                for img in node_ui.get("images", []) if "path" in img]


def module_name_for(folder):
    # ComfyUI names a custom-node package after its absolute path, dots replaced.
    return os.path.abspath(folder).replace(".", "_x_")


def _import_folder(folder):
    # Whatever the folder raises passes through unchanged, as in ComfyUI's loader.
    name = module_name_for(folder)
    spec = importlib.util.spec_from_file_location(name, os.path.join(folder, "__init__.py"))
    module = importlib.util.module_from_spec(spec)
    # Entered before the body runs, so relative imports inside it resolve.
    sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
        # Read inside the same guard: a folder may build its tables on access.
        classes = getattr(module, "NODE_CLASS_MAPPINGS", None)
        names = getattr(module, "NODE_DISPLAY_NAME_MAPPINGS", None) or {}
    except BaseException:
        sys.modules.pop(name, None)
        raise
    return module, classes, names


def import_custom_node_folder(folder):
    """Imports a custom-node folder and reads its tables, as ComfyUI does;
    returns (module, class table, display-name table)."""
    folder = os.path.abspath(folder)
    if not os.path.isfile(os.path.join(folder, "__init__.py")):
        raise CustomNodeImportError(f"{folder} has no __init__.py")
    try:
        module, classes, names = _import_folder(folder)
    except Exception as e:
        raise CustomNodeImportError(f"cannot import custom nodes from {folder}: {type(e).__name__}: {e}") from e
    if classes is None:
        raise CustomNodeImportError(f"{folder} defines no NODE_CLASS_MAPPINGS")
    return module, classes, names


def is_link(value):
    return isinstance(value, list) and len(value) == 2


def _order_key(node_id):
    return (0, int(node_id), node_id) if node_id.isdigit() else (1, 0, node_id)


class Host:
    def __init__(self, input_dir="input", output_dir="output"):
        self.input_dir = os.path.abspath(input_dir)
        self.output_dir = os.path.abspath(output_dir)
        self._use_folders()
        self.classes = dict(builtin_nodes.NODE_CLASS_MAPPINGS)
        self.display_names = dict(builtin_nodes.NODE_DISPLAY_NAME_MAPPINGS)
        self.builtin_keys = frozenset(self.classes)
        self.skipped = []           # custom keys dropped because a built-in owns them
        self.custom_modules = []
        self.import_times = []      # (seconds, folder, loaded) per load_custom_node

    def _use_folders(self):
        # The built-in nodes read module-level folders, as ComfyUI's do.
        builtin_nodes.Folders.input = self.input_dir
        builtin_nodes.Folders.output = self.output_dir

    # --- loading ---------------------------------------------------------------------------

    def load_custom_nodes(self, folder):
        module, classes, names = import_custom_node_folder(folder)
        relative_module = "custom_nodes." + os.path.basename(os.path.abspath(folder))
        for key, cls in classes.items():
            if key in self.builtin_keys:
                self.skipped.append(key)
                continue
            self.classes[key] = cls
            cls.RELATIVE_PYTHON_MODULE = relative_module
        self.display_names.update(names)
        self.custom_modules.append(module)
        return module

    def load_custom_node(self, folder):
        """One folder as ComfyUI's start-up loads it: a failure is logged (its
        traceback, then "Cannot import <folder> module for custom nodes: <error>")
        and marked in import_summary(), never raised. True when it loaded."""
        path = os.path.abspath(folder)
        start = time.perf_counter()
        try:
            self.load_custom_nodes(path)
            loaded = True
        except CustomNodeImportError as e:
            loaded = False
            error = e.__cause__
            if error is None:
                # No __init__.py or no tables: ComfyUI skips the folder with a warning.
                _log.warning(str(e))
            else:
                _log.warning("".join(traceback.format_exception(type(error), error, error.__traceback__)))
                _log.warning(f"Cannot import {path} module for custom nodes: {error}")
        self.import_times.append((time.perf_counter() - start, path, loaded))
        return loaded

    def import_summary(self):
        """The lines ComfyUI logs once its custom-node folders are loaded."""
        return ["Import times for custom nodes:"] + [
            "{:6.1f} seconds{}: {}".format(seconds, "" if loaded else " (IMPORT FAILED)", path)
            for seconds, path, loaded in sorted(self.import_times)]

    def custom_keys(self):
        return [k for k in self.classes if k not in self.builtin_keys]

    # --- schemas ---------------------------------------------------------------------------

    def object_info(self):
        return schema.object_info(self.classes, self.display_names)

    def object_info_json(self):
        return schema.object_info_json(self.classes, self.display_names)

    def check(self, keys=None):
        """Schema problems per node key (only keys with problems), plus the page as a
        whole. Checks the custom nodes unless told which keys."""
        problems = {}
        for key in keys if keys is not None else self.custom_keys():
            found = schema.check_node(key, self.classes[key])
            if found:
                problems[key] = found
        if not problems:
            try:
                self.object_info_json()
            except (TypeError, ValueError) as e:
                problems["/object_info"] = [f"not JSON: {e}"]
        return problems

    # --- validation ------------------------------------------------------------------------

    def validate(self, prompt):
        """Checks a workflow as ComfyUI does before running it; returns the plan to run."""
        self._use_folders()
        if not isinstance(prompt, dict) or not prompt:
            raise PromptError(["a workflow is a non-empty JSON object of nodes"])
        errors = []
        for node_id, node in prompt.items():
            if not isinstance(node, dict) or "class_type" not in node:
                errors.append(f"node {node_id}: no class_type")
            elif node["class_type"] not in self.classes:
                errors.append(f"node {node_id}: unknown node type {node['class_type']!r}")
        if errors:
            raise PromptError(errors)

        outputs = [i for i, n in prompt.items() if getattr(self.classes[n["class_type"]], "OUTPUT_NODE", False)]
        if not outputs:
            raise PromptError(["the workflow has no output node"])

        # Only what the output nodes need runs, as in ComfyUI.
        needed, stack = set(), list(outputs)
        while stack:
            node_id = stack.pop()
            if node_id in needed:
                continue
            needed.add(node_id)
            for value in prompt[node_id].get("inputs", {}).values():
                if is_link(value) and isinstance(value[0], str) and value[0] in prompt:
                    stack.append(value[0])

        plans = {}
        for node_id in sorted(needed, key=_order_key):
            plans[node_id] = self._validate_node(prompt, node_id, errors)
        if errors:
            raise PromptError(errors)
        return self._topological_order(plans), plans

    def _validate_node(self, prompt, node_id, errors):
        node = prompt[node_id]
        class_type = node["class_type"]
        where = f"node {node_id} ({class_type})"
        inputs = node.get("inputs", {})
        if not isinstance(inputs, dict):
            errors.append(f"{where}: inputs must be an object")
            return {}
        spec = self.classes[class_type].INPUT_TYPES()
        plan = {}
        for section in ("required", "optional"):
            for name, entry in spec.get(section, {}).items():
                if name not in inputs:
                    if section == "required":
                        errors.append(f"{where}: required input {name!r} is missing")
                    continue
                checked = self._check_value(prompt, where, name, entry, inputs[name], errors)
                if checked is not None:
                    plan[name] = checked
        for name, kind in spec.get("hidden", {}).items():
            plan[name] = Hidden(kind)
        return plan

    def _check_value(self, prompt, where, name, entry, value, errors):
        kind = entry[0]
        options = entry[1] if len(entry) > 1 else {}
        if is_link(value):
            source_id, index = value
            if not isinstance(source_id, str) or source_id not in prompt:
                errors.append(f"{where}: input {name!r} links to node {source_id!r}, which is not in the workflow")
                return None
            source_type = prompt[source_id]["class_type"]
            returned = self.classes[source_type].RETURN_TYPES
            if not isinstance(index, int) or not 0 <= index < len(returned):
                errors.append(f"{where}: input {name!r} links to output {index!r} of node {source_id}, "
                              f"which has {len(returned)} outputs")
                return None
            received = returned[index]
            expected = "COMBO" if isinstance(kind, list) else kind
            received = "COMBO" if isinstance(received, list) else received
            if received != expected and "*" not in (received, expected):
                errors.append(f"{where}: input {name!r} wants {expected} but node {source_id} "
                              f"({source_type}) output {index} is {received}")
                return None
            return Link(source_id, index)

        if isinstance(kind, list):
            # Membership is enforced for lists only, as ComfyUI does.
            if value not in kind:
                errors.append(f"{where}: {name}={value!r} is not one of {kind!r}")
                return None
            return Value(value)
        if kind not in LITERAL_TYPES:
            errors.append(f"{where}: input {name!r} of type {kind} must be linked to a node output")
            return None
        try:
            if kind == "INT":
                if isinstance(value, float) and not value.is_integer():
                    raise ValueError("not a whole number")
                value = int(value)
            elif kind == "FLOAT":
                value = float(value)
                if not math.isfinite(value):
                    raise ValueError("not finite")
            elif kind == "STRING":
                value = str(value)
            else:
                value = bool(value)
        except (TypeError, ValueError) as e:
            errors.append(f"{where}: {name}={value!r} is not a valid {kind} ({e})")
            return None
        if kind in ("INT", "FLOAT"):
            low, high = options.get("min"), options.get("max")
            if low is not None and value < low:
                errors.append(f"{where}: {name}={value} is below the minimum {low}")
                return None
            if high is not None and value > high:
                errors.append(f"{where}: {name}={value} is above the maximum {high}")
                return None
        return Value(value)

    @staticmethod
    def _topological_order(plans):
        waiting = {i: {step.source for step in plan.values() if isinstance(step, Link)}
                   for i, plan in plans.items()}
        order = []
        while waiting:
            ready = sorted((i for i, deps in waiting.items() if not deps), key=_order_key)
            if not ready:
                raise PromptError(["the workflow has a cycle among nodes " + ", ".join(sorted(waiting))])
            node_id = ready[0]
            order.append(node_id)
            del waiting[node_id]
            for deps in waiting.values():
                deps.discard(node_id)
        return order

    # --- execution -------------------------------------------------------------------------

    def execute(self, prompt, extra_pnginfo=None, prompt_id=None):
        order, plans = self.validate(prompt)
        # As in ComfyUI: one event loop per prompt; a node whose entry method is a
        # coroutine runs as a task, so independent ones wait at the same time.
        return asyncio.run(self._execute(prompt, order, plans, extra_pnginfo, prompt_id))

    @staticmethod
    def _node_context(prompt_id, node_id):
        """ComfyUI's executing context (prompt and node id) around a node's
        call, where the module that keeps it is loaded (ComfyUI's, or a
        test's stand-in) and the prompt has an id."""
        utils = sys.modules.get("comfy_execution.utils")
        if prompt_id is None or utils is None:
            return contextlib.nullcontext()
        return utils.CurrentNodeContext(prompt_id, node_id)

    async def _execute(self, prompt, order, plans, extra_pnginfo, prompt_id=None):
        run = Execution()
        running = {}            # task -> node id
        try:
            for node_id in order:
                needs = {step.source for step in plans[node_id].values() if isinstance(step, Link)}
                while needs & set(running.values()):
                    await self._finish_one(prompt, run, running)
                run.order.append(node_id)
                call = self._call(prompt, plans, run, node_id, extra_pnginfo)
                # A task takes the context it was created in.
                with self._node_context(prompt_id, node_id):
                    if inspect.iscoroutinefunction(call.func):
                        running[asyncio.ensure_future(self._guard(prompt, node_id, call()))] = node_id
                    else:
                        self._store(prompt, run, node_id, self._guard_sync(prompt, node_id, call))
            while running:
                await self._finish_one(prompt, run, running)
        finally:
            # A failed node ends the prompt; ComfyUI cancels the other tasks.
            for task in running:
                task.cancel()
            if running:
                await asyncio.wait(running)
        return run

    def _call(self, prompt, plans, run, node_id, extra_pnginfo):
        cls = self.classes[prompt[node_id]["class_type"]]
        kwargs = {}
        for name, step in plans[node_id].items():
            if isinstance(step, Link):
                kwargs[name] = run.outputs[step.source][step.index]
            elif isinstance(step, Value):
                kwargs[name] = step.value
            elif step.kind == "PROMPT":
                kwargs[name] = prompt
            elif step.kind == "EXTRA_PNGINFO":
                kwargs[name] = extra_pnginfo
            elif step.kind == "UNIQUE_ID":
                kwargs[name] = node_id
        return functools.partial(getattr(cls(), cls.FUNCTION), **kwargs)

    @staticmethod
    def _failures():
        """What ends a prompt as a node's failure: any Exception, and ComfyUI's
        interrupt when one is loaded, whose base class is BaseException in
        newer ComfyUI (its executor catches it by name)."""
        interrupt = getattr(sys.modules.get("comfy.model_management"), "InterruptProcessingException", None)
        return (Exception, interrupt) if isinstance(interrupt, type) else Exception

    @classmethod
    def _guard_sync(cls, prompt, node_id, call):
        try:
            return call()
        except cls._failures() as e:
            raise NodeExecutionError(node_id, prompt[node_id]["class_type"], f"{type(e).__name__}: {e}") from e

    @classmethod
    async def _guard(cls, prompt, node_id, coroutine):
        try:
            return await coroutine
        except cls._failures() as e:
            raise NodeExecutionError(node_id, prompt[node_id]["class_type"], f"{type(e).__name__}: {e}") from e

    async def _finish_one(self, prompt, run, running):
        done, _ = await asyncio.wait(running, return_when=asyncio.FIRST_COMPLETED)
        finished = sorted(((running.pop(task), task) for task in done), key=lambda item: _order_key(item[0]))
        # Every outcome is read, so no failure of a second task goes unreported.
        failures = [task.exception() for _, task in finished if task.exception() is not None]
        if failures:
            raise failures[0]
        for node_id, task in finished:
            self._store(prompt, run, node_id, task.result())

    def _store(self, prompt, run, node_id, result):
        class_type = prompt[node_id]["class_type"]
        cls = self.classes[class_type]
        if isinstance(result, dict):
            run.ui[node_id] = result.get("ui")
            result = result.get("result", ())
        if not isinstance(result, tuple) or len(result) != len(cls.RETURN_TYPES):
            raise NodeExecutionError(node_id, class_type,
                                     f"returned {type(result).__name__} where a {len(cls.RETURN_TYPES)}-tuple "
                                     f"was due")
        run.outputs[node_id] = result

    def run_file(self, path):
        with open(path, encoding="utf-8") as f:
            prompt = json.load(f)
        # In ComfyUI the UI graph travels as "workflow"; an API-format run has
        # none, so the prompt stands in for it.
        return self.execute(prompt, extra_pnginfo={"workflow": prompt})
