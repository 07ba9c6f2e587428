"""The CLIP text encode node: its module's settings, its one request, the
conditioning it decodes, and what it wraps and logs."""
import base64
import inspect
import logging
import sys

import pytest
import torch

from tests.support.nodes import assert_wrapped, schema_defaults
from tests.support.values import encode_tensor

clip_loader = pytest.importorskip("vorna_comfyui_engine.clip_loader")
import vorna_comfyui_engine.base as base  # noqa: E402
import vorna_comfyui_engine.config as config  # noqa: E402

CLIPLoader = clip_loader.VornaCLIPLoader
TextEncode = clip_loader.VornaCLIPTextEncode

PREFIX = "Failed to encode text: "

# ---- helpers -----------------------------------------------------------------

def base_errors(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno >= logging.ERROR]


def clip_descriptor(**overrides):
    kwargs = schema_defaults(CLIPLoader)
    kwargs.update(overrides)
    return CLIPLoader().load_clip(**kwargs)[0]


# ---- module surface ----------------------------------------------------------

def test_imported_names_are_the_sources_own_objects():
    assert clip_loader.deserialize_conditioning is base.deserialize_conditioning
    assert clip_loader.get_config is config.get_config and clip_loader.logging is logging
    assert clip_loader.SyncHTTPClient is sys.modules["bentoml"].SyncHTTPClient


def test_text_encode_class_repeats_the_settings():
    assert TextEncode.__doc__ == "Vorna CLIP Text Encode" and CLIPLoader.__doc__ is None
    # A second reading of the configuration: its own record, equal settings.
    assert TextEncode.cfg is not base.BaseNode.cfg
    assert TextEncode.BASE_URL == TextEncode.cfg.api_base_url == base.BaseNode.BASE_URL
    assert TextEncode.REQUEST_TIMEOUT == TextEncode.cfg.request_timeout == base.BaseNode.REQUEST_TIMEOUT
    assert list(inspect.signature(CLIPLoader.load_clip).parameters.values())[-1].default == "default"


# ---- text encode against the fake client ------------------------------------

def test_encode_sends_one_request_and_decodes_the_answer(client, caplog):
    cond, pooled = torch.randn(1, 3, 8), torch.randn(1, 8)
    client.answer = {"conditioning": [[{"__tensor__": encode_tensor(cond)},
                                       {"pooled_output": {"__tensor__": encode_tensor(pooled)}}]],
                     "other": "ignored"}
    clip = clip_descriptor()
    out = TextEncode().encode(clip=clip, text="a red fox")
    assert type(out) is tuple and len(out) == 1
    (first, extra), = out[0]
    assert torch.equal(first, cond) and torch.equal(extra["pooled_output"], pooled)

    (url, kwargs), = client.built
    assert url == TextEncode.BASE_URL and kwargs["timeout"] == TextEncode.REQUEST_TIMEOUT
    (endpoint, payload), = client.calls
    assert endpoint == "text_encode"
    assert list(payload) == ["text", "clip"]
    assert payload["text"] == "a red fox" and payload["clip"] is clip.inputs
    assert base_errors(caplog) == []


def test_encode_uses_its_own_class_settings(client, monkeypatch):
    client.answer = {"conditioning": "c"}
    monkeypatch.setattr(TextEncode, "BASE_URL", "http://text.invalid")
    monkeypatch.setattr(TextEncode, "REQUEST_TIMEOUT", 7)
    TextEncode().encode(clip=clip_descriptor(), text="x")
    (url, kwargs), = client.built
    assert url == "http://text.invalid" and kwargs["timeout"] == 7


@pytest.mark.parametrize("clip", ["plain string", None, 42, object()], ids=["str", "none", "int", "object"])
def test_encode_without_clip_inputs_sends_none(client, clip):
    client.answer = {"conditioning": "plain"}
    assert TextEncode().encode(clip=clip, text="") == ("plain",)
    (endpoint, payload), = client.calls
    assert payload == {"text": "", "clip": None}


def test_encode_passes_any_clip_inputs_and_text_unchanged(client):
    client.answer = {"conditioning": None}

    class Clip:
        inputs = ["not", "a", "dict"]

    text = "  spaces \n and lines  "
    TextEncode().encode(clip=Clip(), text=text)
    assert client.calls[0][1]["clip"] is Clip.inputs and client.calls[0][1]["text"] is text


@pytest.mark.parametrize("answer", [{}, {"samples": "x"}, {"conditioning": None}], ids=["empty", "other", "null"])
def test_encode_answer_without_conditioning_gives_none(client, caplog, answer):
    client.answer = answer
    assert TextEncode().encode(clip=clip_descriptor(), text="x") == (None,)
    assert base_errors(caplog) == []


def test_encode_reads_the_answer_with_get(client):
    class Answer:
        def __init__(self):
            self.asked = []

        def get(self, *args):
            self.asked.append(args)
            return [{"cond": encode_tensor(torch.ones(2))}]

    client.answer = Answer()
    out, = TextEncode().encode(clip=clip_descriptor(), text="x")
    assert client.answer.asked == [("conditioning",)]
    assert torch.equal(out[0]["cond"], torch.ones(2))


def test_encode_looks_names_up_at_call_time(client, monkeypatch):
    client.answer = {"conditioning": "raw"}
    monkeypatch.setattr(clip_loader, "deserialize_conditioning", lambda value: ("decoded", value))
    assert TextEncode().encode(clip=clip_descriptor(), text="x") == (("decoded", "raw"),)

    node = TextEncode()
    sent = []
    node.send_request = lambda url, payload: sent.append((url, payload)) or {"conditioning": "mine"}
    assert node.encode(clip=None, text="y") == (("decoded", "mine"),)
    assert sent == [("text_encode", {"text": "y", "clip": None})]
    assert len(client.calls) == 1


def test_encode_wraps_a_failed_request_after_one_log_record(client, caplog):
    cause = ConnectionError("service unreachable")
    client.error = cause
    with pytest.raises(ValueError) as info:
        TextEncode().encode(clip=clip_descriptor(), text="x")
    assert_wrapped(info.value, PREFIX, cause)
    records = [r for r in caplog.records if r.levelno >= logging.ERROR]
    assert len(records) == 1
    assert records[0].name == "vorna_comfyui_engine.base"
    assert records[0].getMessage() == "send request failed: service unreachable"
    assert len(client.calls) == 1


@pytest.mark.parametrize("answer, cause_type", [
    (None, AttributeError),                                   # no get method
    ({"conditioning": [{"__tensor__": "not base64!"}]}, Exception),
    ({"conditioning": {"cond": base64.b64encode(b"not a torch stream").decode()}}, Exception),
], ids=["none", "bad-base64", "bad-stream"])
def test_encode_wraps_answer_errors_without_logging(client, caplog, answer, cause_type):
    client.answer = answer
    with pytest.raises(ValueError) as info:
        TextEncode().encode(clip=clip_descriptor(), text="x")
    cause = info.value.__context__
    assert isinstance(cause, cause_type)
    assert_wrapped(info.value, PREFIX, cause)
    assert base_errors(caplog) == []


def test_encode_wraps_a_raising_decoder_and_send_request(client, monkeypatch):
    client.answer = {"conditioning": "x"}
    cause = KeyError("k")

    def decoder(value):
        raise cause

    monkeypatch.setattr(clip_loader, "deserialize_conditioning", decoder)
    with pytest.raises(ValueError) as info:
        TextEncode().encode(clip=clip_descriptor(), text="x")
    assert_wrapped(info.value, PREFIX, cause)
    assert str(info.value) == PREFIX + "'k'"

    # A missing module global is an error inside the guard, so it is wrapped too.
    monkeypatch.delattr(clip_loader, "deserialize_conditioning")
    with pytest.raises(ValueError, match="^Failed to encode text: name 'deserialize_conditioning'") as info:
        TextEncode().encode(clip=clip_descriptor(), text="x")
    assert type(info.value.__context__) is NameError

    node = TextEncode()
    node.send_request = None
    with pytest.raises(ValueError) as info:
        node.encode(clip=None, text="x")
    assert type(info.value.__context__) is TypeError


def test_encode_lets_non_exceptions_and_clip_probe_errors_through(client, monkeypatch):
    node = TextEncode()

    def interrupted(url, payload):
        raise KeyboardInterrupt

    node.send_request = interrupted
    with pytest.raises(KeyboardInterrupt):
        node.encode(clip=None, text="x")

    class Broken:
        @property
        def inputs(self):
            raise RuntimeError("probe")

    with pytest.raises(RuntimeError, match="^probe$"):
        TextEncode().encode(clip=Broken(), text="x")

    class Missing:
        @property
        def inputs(self):
            raise AttributeError("inputs")

    client.answer = {"conditioning": "c"}
    assert TextEncode().encode(clip=Missing(), text="x") == ("c",)
    assert client.calls[-1][1]["clip"] is None



# ---- text encode against the stand-in service --------------------------------

@pytest.mark.standin
def test_encode_round_trip(nodes_on_standin, caplog):
    clip = clip_descriptor()
    (cond, extra), = TextEncode().encode(clip=clip, text="a red fox in the snow")[0]
    assert isinstance(cond, torch.Tensor) and cond.dtype == torch.float32
    assert tuple(cond.shape) == (1, 6, 3584)
    assert tuple(extra["pooled_output"].shape) == (1, 3584)
    again, = TextEncode().encode(clip=clip, text="a red fox in the snow")
    assert torch.equal(again[0][0], cond)
    assert base_errors(caplog) == []

    config.set_api_key("wrong-" + nodes_on_standin.key)
    with pytest.raises(ValueError) as info:
        TextEncode().encode(clip=clip, text="a red fox")
    assert str(info.value).startswith(PREFIX)
    assert info.value.__cause__ is None
    assert type(info.value.__context__).__module__.startswith("bentoml")
    assert base_errors(caplog) == ["send request failed: " + str(info.value.__context__)]
