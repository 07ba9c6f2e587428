"""The few ComfyUI built-in nodes that the bundled workflows use.

Written from ComfyUI's documented behaviour and value conventions:
IMAGE is float32 [batch, height, width, 3] in 0..1, MASK float32 [batch,
height, width] in 0..1 with 1 marking the area to repaint, LATENT a dict with
a "samples" tensor.
"""
import json
import os
import re

import numpy as np
import torch
from PIL import Image, ImageOps
from PIL.PngImagePlugin import PngInfo

MAX_RESOLUTION = 16384


class Folders:
    """Input and output folders of the host; the nodes read them at call time."""
    input = os.path.abspath("input")
    output = os.path.abspath("output")


class EmptyHunyuanLatentVideo:
    """ComfyUI's zero video latent, [batch, 16, (length - 1) // 4 + 1, height/8, width/8]; with
    length 1 it is the one-frame latent of the model family the workflows use. Like current
    ComfyUI's, the latent also names its spatial downscale ratio."""

    @classmethod
    def INPUT_TYPES(s):
        return {"required": {
            "width": ("INT", {"default": 848, "min": 16, "max": MAX_RESOLUTION, "step": 16}),
            "height": ("INT", {"default": 480, "min": 16, "max": MAX_RESOLUTION, "step": 16}),
            "length": ("INT", {"default": 25, "min": 1, "max": MAX_RESOLUTION, "step": 4}),
            "batch_size": ("INT", {"default": 1, "min": 1, "max": 4096}),
        }}

    RETURN_TYPES = ("LATENT",)
    FUNCTION = "generate"
    CATEGORY = "latent/video"

    def generate(self, width, height, length, batch_size=1):
        samples = torch.zeros([batch_size, 16, (length - 1) // 4 + 1, height // 8, width // 8])
        return ({"samples": samples, "downscale_ratio_spacial": 8},)


def _input_files():
    try:
        names = os.listdir(Folders.input)
    except FileNotFoundError:
        return []
    return sorted(n for n in names if os.path.isfile(os.path.join(Folders.input, n)))


class LoadImage:
    @classmethod
    def INPUT_TYPES(s):
        return {"required": {"image": (_input_files(), {"image_upload": True})}}

    RETURN_TYPES = ("IMAGE", "MASK")
    FUNCTION = "load_image"
    CATEGORY = "image"

    def load_image(self, image):
        img = ImageOps.exif_transpose(Image.open(os.path.join(Folders.input, image)))
        if img.mode == "I":
            img = img.point(lambda i: i * (1 / 255))
        pixels = torch.from_numpy(np.array(img.convert("RGB")).astype(np.float32) / 255.0)[None,]
        if "A" in img.getbands():
            alpha = np.array(img.getchannel("A")).astype(np.float32) / 255.0
            # An erased (transparent) area is the area to repaint.
            mask = 1.0 - torch.from_numpy(alpha)
        else:
            mask = torch.zeros((64, 64), dtype=torch.float32)
        return (pixels, mask.unsqueeze(0))


class SolidMask:
    @classmethod
    def INPUT_TYPES(s):
        return {"required": {
            "value": ("FLOAT", {"default": 1.0, "min": 0.0, "max": 1.0, "step": 0.01}),
            "width": ("INT", {"default": 512, "min": 1, "max": MAX_RESOLUTION, "step": 1}),
            "height": ("INT", {"default": 512, "min": 1, "max": MAX_RESOLUTION, "step": 1}),
        }}

    RETURN_TYPES = ("MASK",)
    FUNCTION = "solid"
    CATEGORY = "mask"

    def solid(self, value, width, height):
        return (torch.full((1, height, width), value, dtype=torch.float32),)


class MaskComposite:
    """Combines `source` into `destination` at (x, y); parts outside are clipped."""

    OPERATIONS = ["multiply", "add", "subtract", "and", "or", "xor"]

    @classmethod
    def INPUT_TYPES(s):
        return {"required": {
            "destination": ("MASK",),
            "source": ("MASK",),
            "x": ("INT", {"default": 0, "min": 0, "max": MAX_RESOLUTION, "step": 1}),
            "y": ("INT", {"default": 0, "min": 0, "max": MAX_RESOLUTION, "step": 1}),
            "operation": (list(s.OPERATIONS),),
        }}

    RETURN_TYPES = ("MASK",)
    FUNCTION = "combine"
    CATEGORY = "mask"

    def combine(self, destination, source, x, y, operation):
        out = destination.reshape((-1, destination.shape[-2], destination.shape[-1])).clone()
        source = source.reshape((-1, source.shape[-2], source.shape[-1]))
        bottom, right = min(y + source.shape[-2], out.shape[-2]), min(x + source.shape[-1], out.shape[-1])
        if bottom <= y or right <= x:
            return (out,)
        src = source[:, :bottom - y, :right - x]
        dst = out[:, y:bottom, x:right]
        if operation == "multiply":
            res = dst * src
        elif operation == "add":
            res = dst + src
        elif operation == "subtract":
            res = dst - src
        elif operation == "and":
            res = torch.bitwise_and(dst.round().bool(), src.round().bool()).float()
        elif operation == "or":
            res = torch.bitwise_or(dst.round().bool(), src.round().bool()).float()
        else:
            res = torch.bitwise_xor(dst.round().bool(), src.round().bool()).float()
        out[:, y:bottom, x:right] = res
        return (torch.clamp(out, 0.0, 1.0),)


def _save_path(prefix, width, height):
    """Folder, base name and next free counter for `prefix`, as ComfyUI numbers its files."""
    prefix = prefix.replace("%width%", str(width)).replace("%height%", str(height))
    folder = os.path.abspath(os.path.join(Folders.output, os.path.dirname(prefix)))
    base = os.path.basename(prefix)
    if os.path.commonpath((Folders.output, folder)) != os.path.abspath(Folders.output):
        raise ValueError(f"filename_prefix {prefix!r} leaves the output folder")
    os.makedirs(folder, exist_ok=True)
    pattern = re.compile(re.escape(base) + r"_(\d{5})_\.png$")
    used = [int(m.group(1)) for m in map(pattern.match, os.listdir(folder)) if m]
    return folder, base, max(used, default=0) + 1


class SaveImage:
    @classmethod
    def INPUT_TYPES(s):
        return {
            "required": {
                "images": ("IMAGE",),
                "filename_prefix": ("STRING", {"default": "ComfyUI"}),
            },
            "hidden": {"prompt": "PROMPT", "extra_pnginfo": "EXTRA_PNGINFO"},
        }

    RETURN_TYPES = ()
    FUNCTION = "save_images"
    OUTPUT_NODE = True
    CATEGORY = "image"

    def save_images(self, images, filename_prefix="ComfyUI", prompt=None, extra_pnginfo=None):
        folder, base, counter = _save_path(filename_prefix, images.shape[2], images.shape[1])
        results = []
        for image in images:
            pixels = np.clip(255.0 * image.cpu().numpy(), 0, 255).astype(np.uint8)
            metadata = PngInfo()
            if prompt is not None:
                metadata.add_text("prompt", json.dumps(prompt))
            for name, value in (extra_pnginfo or {}).items():
                metadata.add_text(name, json.dumps(value))
            file = f"{base}_{counter:05}_.png"
            Image.fromarray(pixels).save(os.path.join(folder, file), pnginfo=metadata, compress_level=4)
            subfolder = os.path.relpath(folder, Folders.output)
            results.append({"filename": file, "subfolder": "" if subfolder == "." else subfolder,
                            "type": "output", "path": os.path.join(folder, file)})
            counter += 1
        return {"ui": {"images": results}}


NODE_CLASS_MAPPINGS = {
    "EmptyHunyuanLatentVideo": EmptyHunyuanLatentVideo,
    "LoadImage": LoadImage,
    "SolidMask": SolidMask,
    "MaskComposite": MaskComposite,
    "SaveImage": SaveImage,
}

NODE_DISPLAY_NAME_MAPPINGS = {
    "EmptyHunyuanLatentVideo": "EmptyHunyuanLatentVideo",
    "LoadImage": "Load Image",
    "SolidMask": "Solid Mask",
    "MaskComposite": "Mask Composite",
    "SaveImage": "Save Image",
}
