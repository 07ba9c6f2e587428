"""Node schemas as ComfyUI serves and checks them.

`node_info` builds the entry that ComfyUI's /object_info page serves for one
node class; `check_node` lists what would break that page, the front end or
the call of the node's entry method.
"""
import inspect
import json
import math

SECTIONS = ("required", "optional", "hidden")
HIDDEN_TYPES = ("PROMPT", "EXTRA_PNGINFO", "UNIQUE_ID", "DYNPROMPT", "AUTH_TOKEN_COMFY_ORG", "API_KEY_COMFY_ORG")
NUMBER_TYPES = ("INT", "FLOAT")


def node_info(key, cls, display_names):
    input_types = cls.INPUT_TYPES()
    return_types = cls.RETURN_TYPES
    return {
        "input": input_types,
        "input_order": {section: list(inputs.keys()) for section, inputs in cls.INPUT_TYPES().items()},
        "output": return_types,
        "output_is_list": getattr(cls, "OUTPUT_IS_LIST", [False] * len(return_types)),
        "output_name": getattr(cls, "RETURN_NAMES", return_types),
        "name": key,
        "display_name": display_names.get(key, key),
        "description": getattr(cls, "DESCRIPTION", ""),
        "python_module": getattr(cls, "RELATIVE_PYTHON_MODULE", "nodes"),
        "category": getattr(cls, "CATEGORY", "sd"),
        "output_node": getattr(cls, "OUTPUT_NODE", False) is True,
    }


def object_info(classes, display_names):
    return {key: node_info(key, cls, display_names) for key, cls in classes.items()}


def object_info_json(classes, display_names):
    # Browsers reject NaN and Infinity, so the page must do without them.
    return json.dumps(object_info(classes, display_names), allow_nan=False)


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _check_input(name, spec, problems):
    where = f"input {name!r}"
    if not isinstance(spec, tuple) or len(spec) not in (1, 2):
        problems.append(f"{where}: expected a tuple (type[, options]), got {spec!r}")
        return
    kind = spec[0]
    options = spec[1] if len(spec) == 2 else {}
    if not isinstance(options, dict):
        problems.append(f"{where}: options must be a dict, got {type(options).__name__}")
        return
    if isinstance(kind, list):
        if not kind:
            problems.append(f"{where}: empty list of choices")
        elif not all(isinstance(c, (str, int, float)) and not isinstance(c, bool) for c in kind):
            problems.append(f"{where}: choices must be text or numbers")
        if "default" in options and options["default"] not in kind:
            problems.append(f"{where}: default {options['default']!r} is not one of the choices {kind!r}")
    elif isinstance(kind, str):
        if not kind:
            problems.append(f"{where}: empty type name")
    else:
        # A tuple of choices passes /object_info but is never checked for
        # membership: ComfyUI only enforces lists.
        problems.append(f"{where}: type must be a name or a list of choices, got {type(kind).__name__}")
        return
    if kind in NUMBER_TYPES:
        bounds = {k: options[k] for k in ("min", "max", "step", "default") if k in options}
        for k, v in bounds.items():
            if not _is_number(v) or (isinstance(v, float) and not math.isfinite(v)):
                problems.append(f"{where}: {k} must be a finite number, got {v!r}")
                return
        if kind == "INT" and "default" in bounds and not isinstance(bounds["default"], int):
            problems.append(f"{where}: INT default {bounds['default']!r} is not an integer")
        low, high = bounds.get("min"), bounds.get("max")
        if low is not None and high is not None and low > high:
            problems.append(f"{where}: min {low} is above max {high}")
        default = bounds.get("default")
        if default is not None and ((low is not None and default < low) or (high is not None and default > high)):
            problems.append(f"{where}: default {default} is outside [{low}, {high}]")
        if "step" in bounds and bounds["step"] <= 0:
            problems.append(f"{where}: step must be positive")


def check_node(key, cls):
    """Problems of one node class, as a list of texts (empty when it is fine)."""
    problems = []
    try:
        schema = cls.INPUT_TYPES()
        again = cls.INPUT_TYPES()
    except Exception as e:  # noqa: BLE001 - reported, not raised
        return [f"INPUT_TYPES() raised {type(e).__name__}: {e}"]
    if not isinstance(schema, dict):
        return [f"INPUT_TYPES() returned {type(schema).__name__}, not a dict"]
    if schema is again:
        problems.append("INPUT_TYPES() returns the same dict on every call; the host may change it")
    for section in schema:
        if section not in SECTIONS:
            problems.append(f"unknown schema section {section!r}")
    if "required" not in schema:
        problems.append("no 'required' section")
    names = []
    for section in SECTIONS:
        inputs = schema.get(section, {})
        if not isinstance(inputs, dict):
            problems.append(f"section {section!r} is not a dict")
            continue
        for name, spec in inputs.items():
            if not isinstance(name, str) or not name.isidentifier():
                problems.append(f"input name {name!r} cannot be passed as a keyword")
                continue
            names.append((section, name))
            if section == "hidden":
                if spec not in HIDDEN_TYPES:
                    problems.append(f"hidden input {name!r}: unknown kind {spec!r}")
            else:
                _check_input(name, spec, problems)

    return_types = getattr(cls, "RETURN_TYPES", None)
    if not isinstance(return_types, tuple) or not all(isinstance(t, (str, list)) for t in return_types):
        problems.append(f"RETURN_TYPES must be a tuple of type names, got {return_types!r}")
        return_types = ()
    return_names = getattr(cls, "RETURN_NAMES", None)
    if return_names is not None and len(return_names) != len(return_types):
        problems.append("RETURN_NAMES and RETURN_TYPES differ in length")
    category = getattr(cls, "CATEGORY", None)
    if not isinstance(category, str) or not category:
        problems.append(f"CATEGORY must be a non-empty text, got {category!r}")
    if not isinstance(getattr(cls, "OUTPUT_NODE", False), bool):
        problems.append("OUTPUT_NODE must be True or False")

    function = getattr(cls, "FUNCTION", None)
    method = getattr(cls, function, None) if isinstance(function, str) else None
    if not callable(method):
        problems.append(f"FUNCTION {function!r} does not name a method")
    else:
        problems.extend(_check_signature(method, names))

    if not problems:
        try:
            json.dumps(node_info(key, cls, {}), allow_nan=False)
        except (TypeError, ValueError) as e:
            problems.append(f"schema is not JSON: {e}")
    return problems


def _check_signature(method, names):
    """The host calls the entry method with keywords only: every input must be
    accepted by name, and every parameter without a default must be required."""
    try:
        params = inspect.signature(method).parameters
    except (TypeError, ValueError) as e:
        return [f"entry method has no readable signature: {e}"]
    params = {n: p for n, p in params.items() if n != "self"}
    takes_any = any(p.kind is inspect.Parameter.VAR_KEYWORD for p in params.values())
    problems = []
    required = {n for s, n in names if s == "required"}
    for section, name in names:
        p = params.get(name)
        if p is None:
            if not takes_any:
                problems.append(f"entry method does not accept the {section} input {name!r}")
        elif p.kind in (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.VAR_POSITIONAL):
            problems.append(f"entry method takes {name!r} positionally only")
    for name, p in params.items():
        if p.kind in (inspect.Parameter.VAR_KEYWORD, inspect.Parameter.VAR_POSITIONAL):
            continue
        if p.default is inspect.Parameter.empty and name not in required:
            problems.append(f"entry method parameter {name!r} has no default and is not a required input")
    return problems
