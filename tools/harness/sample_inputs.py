"""The input pictures the bundled workflows load, drawn on demand so that no
binary file has to live in the repository."""
import os

import numpy as np
from PIL import Image

PICTURE = "vorna_input.png"
SIZE = (768, 512)  # width, height: not square, so a swapped axis shows


def picture(width=SIZE[0], height=SIZE[1]):
    """A smooth colour field with a disc and a bar: easy to recognise, cheap to draw."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    r = 0.5 + 0.5 * np.sin(x / width * 2 * np.pi)
    g = y / max(height - 1, 1)
    b = 0.5 + 0.5 * np.cos((x + y) / (width + height) * 4 * np.pi)
    rgb = np.stack([r, g, b], axis=-1)
    disc = (x - width * 0.35) ** 2 + (y - height * 0.5) ** 2 < (min(width, height) * 0.25) ** 2
    rgb[disc] = (0.95, 0.85, 0.2)
    rgb[int(height * 0.75):int(height * 0.8), int(width * 0.55):int(width * 0.9)] = (0.1, 0.1, 0.1)
    return Image.fromarray((rgb * 255).round().astype(np.uint8), "RGB")


def write(folder):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, PICTURE)
    picture().save(path)
    return [path]
