"""Command line of the host harness.

  python -m tools.harness check --nodes FOLDER [--nodes FOLDER ...]
  python -m tools.harness run WORKFLOW.json [...] --nodes FOLDER --input DIR --output DIR
  python -m tools.harness make-inputs DIR
"""
import argparse
import logging
import os
import sys

from . import sample_inputs
from .host import CustomNodeImportError, Host, NodeExecutionError, PromptError


def _host(args):
    host = Host(input_dir=getattr(args, "input", "input"), output_dir=getattr(args, "output", "output"))
    for folder in args.nodes:
        host.load_custom_nodes(folder)
        print(f"loaded custom nodes from {os.path.abspath(folder)}")
    for key in host.skipped:
        print(f"skipped {key!r}: a built-in node has that key")
    return host


def check(args):
    host = _host(args)
    problems = host.check()
    custom = host.custom_keys()
    for key in custom:
        cls = host.classes[key]
        print(f"  {key:42} {host.display_names.get(key, key)!r:42} {cls.CATEGORY}")
    for key, found in problems.items():
        for problem in found:
            print(f"PROBLEM {key}: {problem}")
    print(f"{len(custom)} custom nodes, {len(problems)} with problems")
    return 1 if problems else 0


def run(args):
    host = _host(args)
    failed = 0
    for path in args.workflows:
        print(f"running {path}")
        try:
            execution = host.run_file(path)
        except (PromptError, NodeExecutionError) as e:
            failed += 1
            print(f"FAILED {path}: {e}", file=sys.stderr)
            continue
        for image in execution.saved_images():
            print(f"  saved {image}")
    return 1 if failed else 0


def make_inputs(args):
    for path in sample_inputs.write(args.folder):
        print(f"wrote {path}")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m tools.harness", description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("check", help="load custom-node folders and check every node's schema")
    p.add_argument("--nodes", action="append", default=[], metavar="FOLDER", help="custom-node folder (repeatable)")
    p.set_defaults(func=check)

    p = sub.add_parser("run", help="run API-format workflow files")
    p.add_argument("workflows", nargs="+", metavar="WORKFLOW.json")
    p.add_argument("--nodes", action="append", default=[], metavar="FOLDER", help="custom-node folder (repeatable)")
    p.add_argument("--input", default="input", metavar="DIR", help="folder LoadImage reads from")
    p.add_argument("--output", default="output", metavar="DIR", help="folder SaveImage writes to")
    p.set_defaults(func=run)

    p = sub.add_parser("make-inputs", help="draw the pictures the bundled workflows load")
    p.add_argument("folder", metavar="DIR")
    p.set_defaults(func=make_inputs)

    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")
    # Three lines per request (readiness, schema, call) would bury the nodes' own messages.
    logging.getLogger("httpx").setLevel(logging.WARNING)
    try:
        return args.func(args)
    except CustomNodeImportError as e:
        print(f"ERROR: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
