"""Encoded values made with the plain library steps (not the package's codecs)."""
import base64
import io


def encode_tensor(tensor) -> str:
    """base64 text of torch.save(tensor)."""
    import torch

    buf = io.BytesIO()
    torch.save(tensor, buf)
    return base64.b64encode(buf.getvalue()).decode()


def encode_png(height: int = 16, width: int = 16) -> str:
    """base64 text of an RGB PNG with varied pixels."""
    import numpy as np
    from PIL import Image

    pixels = (np.arange(height * width * 3, dtype=np.uint32) % 251).astype(np.uint8)
    buf = io.BytesIO()
    Image.fromarray(pixels.reshape(height, width, 3)).save(buf, format="PNG")
    return base64.b64encode(buf.getvalue()).decode()
