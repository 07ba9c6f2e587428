"""Development tools: nothing here ships (see .comfyignore)."""
