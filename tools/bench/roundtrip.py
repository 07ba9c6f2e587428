"""Round trip to the stand-in service on loopback: the package's
`send_request` (its bentoml client kept between calls) against one plain HTTP POST of the same JSON body to
the same endpoint, with the bearer header and keep-alive off."""
from __future__ import annotations

import http.client
import json
import secrets
import urllib.parse

from .measure import interleaved


def tiny_sampler_payload() -> dict:
    """A complete "sampler" request around a [1, 16, 1, 8, 8] latent (a few kB
    each way), so the fixed cost dominates."""
    import torch
    import vorna_comfyui_engine.base as base
    latent = torch.zeros((1, 16, 1, 8, 8))
    return {"model_inputs": {"unet_name": "qwen_image_fp8.safetensors", "weight_dtype": "default"},
            "seed": 1, "steps": 1, "cfg": 1.0, "sampler_name": "euler", "scheduler": "normal", "denoise": 1.0,
            "latent_image": {"samples": base.tensor_to_base64(latent), "batch_index": None},
            "prev_deferred_node": None, "positive": None, "negative": None}


def plain_post(url: str, key: str, endpoint: str, payload: dict) -> dict:
    parts = urllib.parse.urlsplit(url)
    body = json.dumps(payload).encode("utf-8")
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=60)
    try:
        conn.request("POST", "/" + endpoint, body=body,
                     headers={"Content-Type": "application/json", "Authorization": f"Bearer {key}",
                              "Connection": "close"})
        resp = conn.getresponse()
        data = resp.read()
        if resp.status != 200:
            raise RuntimeError(f"POST /{endpoint}: HTTP {resp.status}: {data[:200]!r}")
        return json.loads(data)
    finally:
        conn.close()


def measure(repeats: int) -> dict:
    from tools.service.launch import running_standin

    import bentoml
    import vorna_comfyui_engine.base as base
    import vorna_comfyui_engine.config as config

    key = secrets.token_urlsafe(24)
    payload = tiny_sampler_payload()
    saved_client = base.SyncHTTPClient
    base.SyncHTTPClient = bentoml.SyncHTTPClient  # the real client, whatever the bench installed before
    with running_standin(key=key) as server:
        node = base.BaseNode()
        # Instance attributes take precedence over the class settings read at import.
        node.BASE_URL = server.url
        config.set_api_key(key)
        try:
            through_package = node.send_request("sampler", payload)
            through_post = plain_post(server.url, key, "sampler", payload)
            if through_package != through_post:
                raise AssertionError("the package and the plain POST got different answers")
            samples = interleaved({
                "package": lambda: node.send_request("sampler", payload),
                "plain_post": lambda: plain_post(server.url, key, "sampler", payload),
            }, repeats=repeats, warmup=3)
        finally:
            config.set_api_key("")
            base.SyncHTTPClient = saved_client
    return {"samples": samples, "request_bytes": len(json.dumps(payload)),
            "answer_bytes": len(json.dumps(through_post))}
