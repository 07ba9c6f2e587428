"""The key goes to the configured origin only: redirects and schema routes
that lead elsewhere fail before anything is sent there, a schema that
declares anything but JSON objects in and out fails before sending, and an
answer with a content coding is refused unread."""
import gzip
import json

import pytest

from tests.support.request import call, call_logged
from tools.service.loopback import ANSWER, JSON

base = pytest.importorskip("vorna_comfyui_engine.base")

@pytest.mark.parametrize("where, status", [("schema", s) for s in (301, 302, 307, 308)]
                         + [("post", s) for s in (301, 302, 307, 308)] + [("route", None)])
def test_nothing_goes_to_another_origin(pair, caplog, where, status):
    a, b = pair
    if where == "schema":
        a.redirect("/schema.json", status, b.origin + "/schema.json")
    elif where == "post":
        a.redirect("/vae_encode", status, b.origin + "/vae_encode")
    else:
        a.serve_schema(vae_encode=b.origin + "/steal/vae_encode")
    error, _ = call_logged(a, caplog)
    assert isinstance(error, PermissionError)
    assert b.origin in str(error)
    assert b.requests == []
    assert a.paths() == (["/schema.json"] if where != "post" else ["/schema.json", "/vae_encode"])

def test_redirects_within_the_configured_origin_are_followed(pair, keyed, caplog):
    a, _ = pair
    moved = a.answers["/schema.json"]
    a.redirect("/schema.json", 302, "/moved/schema.json").answers["/moved/schema.json"] = moved
    assert call_logged(a, caplog)[0] == {"samples": "ok"}
    assert all(h["Authorization"] == f"Bearer {keyed}" for _, _, h in a.requests)

def test_an_answer_with_a_content_coding_is_refused_unread(pair, caplog):
    a, _ = pair
    a.answer("/vae_encode", 200, gzip.compress(ANSWER * 1000), {**JSON, "Content-Encoding": "gzip"})
    error, _ = call_logged(a, caplog)
    assert isinstance(error, ValueError) and "content coding 'gzip'" in str(error)
    assert {h["Accept-Encoding"] for _, _, h in a.requests} == {"identity"}

def nested_lists(depth: int) -> dict:
    schema = {"type": "string"}
    for _ in range(depth):
        schema = {"type": "array", "items": schema}
    return schema

@pytest.mark.parametrize("declared", [
    {"gives": {"type": "object", "is_stream": True}},
    {"gives": {"type": "file"}},
    {"gives": {"type": "object", "media_type": "text/event-stream"}},
    {"takes": {"type": "object", "properties": {"image": {"type": "file"}}}},
    {"takes": {"type": "object", "properties": {"image": {"type": "array", "items": {"type": "file"}}}}},
    {"takes": {"type": "string", "root_input": True}},
    # What the library would turn into something else than JSON, at any depth.
    {"gives": {"type": "object", "properties": {"samples": {"type": "tensor", "format": "numpy-array"}}}},
    {"gives": {"type": "object", "additionalProperties": {"type": "array", "items": {"type": "dataframe"}}}},
    {"gives": {"type": "object", "properties": {"s": {"anyOf": [{"type": "string", "format": "binary"},
                                                                 {"type": "null"}]}}}},
    {"gives": {"type": "object", "$defs": {"Latent": {"type": "object", "properties": {"x": {"type": "tensor"}}}}}},
    {"takes": {"type": "object", "properties": {"image": {"type": "string", "content_type": "image/png"}}}},
    {"gives": {"type": "array", "items": {"type": "object"}}},
    {"gives": {"type": "object", "properties": {"samples": "string"}}},
    {"gives": {"type": "object", "additionalProperties": nested_lists(100)}},
])
def test_a_schema_declaring_anything_but_json_fails_before_sending(keyed, service, declared):
    service.serve_schema(vae_encode="/vae_encode", **declared)
    error = call(service)
    assert isinstance(error, ValueError) and "JSON objects only, so nothing was sent" in str(error)
    assert service.paths() == ["/schema.json"]

def test_a_schema_of_plain_json_as_pydantic_writes_it_is_used(keyed, service):
    from typing import Any, Dict, List, Optional

    from pydantic import BaseModel

    class Latent(BaseModel):
        samples: str
        batch_index: Optional[List[int]] = None
        format: str = "latent"                  # a property named like a keyword

    class Answer(BaseModel):
        latent: Latent
        extra: Dict[str, Any] = {}

    service.serve_schema(vae_encode="/vae_encode", gives=Answer.model_json_schema())
    service.answer("/vae_encode", 200, json.dumps({"latent": {"samples": "ok"}}).encode(), JSON)
    assert call(service) == {"latent": {"samples": "ok"}}
