"""The benchmark compares like with like: the plain-Python baseline and the
bare library steps put the same bytes on the wire as the package and return
the same values, and the plain POST reaches the same endpoint."""
import pytest
import torch

pytest.importorskip("vorna_comfyui_engine.vae_encode")
from tools.bench import baseline_nodes, cases, roundtrip  # noqa: E402

SMALL = {
    "text_encode": lambda: cases.text_encode_case(tokens=7, width=32),
    "sampler_f32": lambda: cases.sampler_case(8, torch.float32),
    "sampler_bf16": lambda: cases.sampler_case(8, torch.bfloat16),
    "vae_decode": lambda: cases.vae_decode_case(64),
    "vae_encode": lambda: cases.vae_encode_case(64),
}


def assert_same_value(a, b):
    assert type(a) is type(b)
    if isinstance(a, torch.Tensor):
        assert a.dtype == b.dtype and a.shape == b.shape and torch.equal(a, b)
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            assert_same_value(x, y)
    elif isinstance(a, dict):
        assert list(a) == list(b)
        for k in a:
            assert_same_value(a[k], b[k])
    else:
        assert a == b


@pytest.fixture
def restore_clients():
    import vorna_comfyui_engine.base as base
    saved = base.SyncHTTPClient, baseline_nodes.SyncHTTPClient
    yield
    base.SyncHTTPClient, baseline_nodes.SyncHTTPClient = saved


@pytest.mark.parametrize("key", SMALL)
def test_baseline_sends_and_returns_what_the_package_does(key, restore_clients):
    case = SMALL[key]()
    package, baseline = cases.install_client(case.answer, record=True)
    from_package, from_baseline = case.package(), case.baseline()
    # Constructor arguments and the call, keyword by keyword and byte for byte.
    assert (package.built, package.calls) == (baseline.built, baseline.calls)
    assert len(package.built) == len(package.calls) == 1
    assert_same_value(from_package, from_baseline)


@pytest.mark.parametrize("key", SMALL)
def test_bare_steps_make_the_same_request_text_and_value(key, restore_clients):
    case = SMALL[key]()
    package, _ = cases.install_client(case.answer, record=True)
    (output,) = case.package()
    kwargs = package.calls[-1][1]
    if key.startswith("sampler"):
        assert kwargs["latent_image"]["samples"] == cases.bare_tensor_to_text(case.sent)
        assert_same_value(output["samples"], case.bare())
    elif key == "vae_decode":
        assert kwargs["latent"]["samples"] == cases.bare_tensor_to_text(case.sent)
        assert_same_value(output, case.bare())
    elif key == "vae_encode":
        assert kwargs["image"] == cases.bare_image_to_text(case.sent)
        assert_same_value(output["samples"], case.bare())
    else:
        assert case.sent is None
        assert_same_value(output, case.bare())


def test_payload_counts_host_values_and_texts():
    t = torch.zeros((2, 3), dtype=torch.bfloat16)
    assert cases.payload_size([t, t], ["abcd", ""]) == 2 * 12 + 4


@pytest.mark.standin
def test_plain_post_reaches_the_endpoint_the_client_calls(standin):
    import vorna_comfyui_engine.base as base
    import vorna_comfyui_engine.config as config

    payload = roundtrip.tiny_sampler_payload()
    node = base.BaseNode()
    node.BASE_URL = standin.url
    config.set_api_key(standin.key)
    try:
        assert node.send_request("sampler", payload) == roundtrip.plain_post(
            standin.url, standin.key, "sampler", payload)
    finally:
        config.set_api_key("")
    with pytest.raises(RuntimeError, match="HTTP 401"):
        roundtrip.plain_post(standin.url, "wrong key", "sampler", payload)


PEAK_CHILD = """
from tools.bench import measure
sizes = iter([16, 8])   # the warm-up call takes twice what the measured one does
blocks = lambda: [bytearray(8 << 20) for _ in range(next(sizes))]
print(measure.peak_of(blocks) / (64 << 20))
"""


def test_peak_counts_the_measured_call_only():
    """The warm-up's higher peak is forgotten, the measured call's 64 MiB is
    all seen."""
    import subprocess
    import sys
    from tools.bench import measure

    out = subprocess.run([sys.executable, "-c", PEAK_CHILD], env=measure.child_env(**measure.MEMORY_ENV),
                         cwd=measure.ROOT, capture_output=True, text=True, timeout=120, check=True)
    assert 0.95 <= float(out.stdout) <= 1.2
