"""Image answers: pictures as encoders write them decode as Pillow decodes
them; pictures that Pillow would decode while opening them, or that decode
past the answer limit or Pillow's own, are refused before decoding."""
import io
import logging

import pytest

from tests.support import module
from tests.support.answers import b64, ico_holding, png_declaring, tiff_image
from tests.support.values import encode_png

Image = pytest.importorskip("PIL.Image")


def pillow_saved(image_format: str, **options) -> bytes:
    buf = io.BytesIO()
    Image.new("RGB", (5, 6), (255, 255, 255)).save(buf, format=image_format, **options)
    return buf.getvalue()


def png_with_some_text() -> bytes:
    from PIL.PngImagePlugin import PngInfo

    info = PngInfo()
    info.add_text("prompt", "{}" * 1000)
    info.add_text("workflow", "{}" * 1000, zip=True)
    info.add_itxt("comment", "\u00e9t\u00e9", zip=True)
    return pillow_saved("PNG", pnginfo=info)


# Images as encoders write them, in the layouts the checks before Pillow look at.
GENUINE_IMAGES = {
    **{name: (lambda name=name: pillow_saved(name)) for name in ("JPEG", "WEBP", "BMP", "GIF", "TIFF")},
    "progressive JPEG": lambda: pillow_saved("JPEG", progressive=True),
    "TIFF in strips": lambda: pillow_saved("TIFF", strip_size=16),
    "deflated TIFF in strips": lambda: pillow_saved("TIFF", compression="tiff_adobe_deflate", strip_size=16),
    "TIFF in one tile larger than the picture": lambda: tiff_image(5, 6, tile=(256, 256), deflated=True),
    "TIFF in tiles": lambda: tiff_image(40, 6, tile=(16, 16)),
    "PNG with text": png_with_some_text,
}


@pytest.mark.parametrize("image", GENUINE_IMAGES)
def test_images_as_encoders_write_them_still_decode(image):
    import numpy as np

    raw = GENUINE_IMAGES[image]()
    expected = np.asarray(Image.open(io.BytesIO(raw)).convert("RGB"), dtype=np.float32) / 255
    decoded = module("base").base64_to_image(b64(raw))
    assert decoded.shape == (1, *expected.shape) and np.array_equal(decoded[0].numpy(), expected)


@pytest.mark.parametrize("where", ["codec", "image_binary", "images"])
def test_image_answer_bombs_are_refused_before_decoding(limited, caplog, monkeypatch, where):
    base = module("base")
    # Between Pillow's warning and its error; then over LIMIT but under Pillow's (3 MiB as float32);
    # then small, but in a container that Pillow decodes while opening it.
    for text, error in ((b64(png_declaring(13376, 13376)), Image.DecompressionBombError),
                        (b64(png_declaring(512, 512)), ValueError),
                        (b64(ico_holding(64, 64)), ValueError)):
        caplog.clear()
        if where == "codec":
            with pytest.raises(error):
                base.base64_to_image(text)
        elif where == "image_binary":
            # A refusal is a decode failure like any other: the fallback answers, with one record.
            assert limited("vae_decode", {"image_binary": text, "images": encode_png(4, 4)})[0].shape == (1, 4, 4, 3)
            assert len([r for r in caplog.records if r.levelno >= logging.WARNING]) == 1
        else:
            with pytest.raises(ValueError, match="^Failed to decode vae: ") as info:
                limited("vae_decode", {"images": text})
            assert isinstance(info.value.__context__, error)
    with pytest.raises(ValueError, match=r"^answer refused: the image's format \(Pillow takes it for ICO\)"):
        base.base64_to_image(b64(ico_holding(64, 64)))
    # Under the limit still decodes; Pillow's own limit, whatever its value, is an error.
    assert base.base64_to_image(encode_png(128, 128)).shape == (1, 128, 128, 3)      # 768 KiB as float32
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 100)
    with pytest.raises(Image.DecompressionBombError):
        base.base64_to_image(encode_png(16, 16))
