"""A stand-in for ComfyUI: loads custom-node folders, checks their schemas and
runs API-format workflows. See `python -m tools.harness --help`."""
from .host import (CustomNodeImportError, Execution, Host, NodeExecutionError, PromptError,
                   import_custom_node_folder, module_name_for)

__all__ = ["CustomNodeImportError", "Execution", "Host", "NodeExecutionError", "PromptError",
           "import_custom_node_folder", "module_name_for"]
