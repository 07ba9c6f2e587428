"""Import protocol of the shared object: table, finder, module attributes."""
import importlib.machinery
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from tools.bench.measure import shared_object

PKG = "vorna_comfyui_engine"


def run(code, env_extra=None, cwd=None):
    """Runs code in a fresh interpreter and returns what it printed as JSON."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("VORNA_")}
    env.update(env_extra or {})
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def has_torch():
    return importlib.util.find_spec("torch") is not None


def test_package_import_alone_sets_standard_attributes_and_installs_finder():
    out = run("""
        import json, sys, importlib.machinery
        before = list(sys.meta_path)
        import vorna_comfyui_engine as p
        finders = [f for f in sys.meta_path if type(f).__name__ == "package_module_loader"]
        print(json.dumps({
            "subs": sorted(k for k in sys.modules if k.startswith("vorna_comfyui_engine.")),
            "has_table": hasattr(p, "NODE_CLASS_MAPPINGS"),
            "doc": p.__doc__, "package": p.__package__, "cached": p.__cached__,
            "file": p.__file__, "path": p.__path__,
            "same_list": p.__spec__.submodule_search_locations is p.__path__,
            "origin": p.__spec__.origin, "has_location": p.__spec__.has_location,
            "loader_is_spec_loader": p.__spec__.loader is p.__loader__,
            "loader_type": type(p.__loader__).__name__,
            "initializing": p.__spec__._initializing,
            "finders": len(finders),
            "finder_index": sys.meta_path.index(finders[0]),
            "expected_index": 2 if len(before) >= 3 else len(before),
            "hook_last": getattr(sys.path_hooks[-1], "__self__", None) is finders[0],
            "builtins": "__builtins__" in vars(p),
        }))
    """)
    assert out["subs"] == []
    assert out["has_table"] is False
    assert out["doc"] is None and out["cached"] is None
    assert out["package"] == PKG
    assert out["file"].endswith("vorna_comfyui_engine/__init__.py") and os.path.isabs(out["file"])
    assert out["path"] == [os.path.dirname(out["file"])]
    assert out["same_list"] and out["origin"] == out["file"] and out["has_location"]
    assert out["loader_is_spec_loader"] and out["loader_type"] == "package_module_loader"
    assert out["initializing"] is False
    assert out["finders"] == 1 and out["finder_index"] == out["expected_index"]
    assert out["hook_last"] and out["builtins"]


def test_config_import_pulls_in_nothing_else_and_every_module_has_standard_attributes():
    out = run("""
        import json, sys
        import vorna_comfyui_engine.config as c
        names = sorted(k for k in sys.modules if k.startswith("vorna_comfyui_engine"))
        print(json.dumps({"names": names, "package": c.__package__, "file": c.__file__,
                          "spec_name": c.__spec__.name, "origin": c.__spec__.origin,
                          "path": hasattr(c, "__path__"), "cached": c.__cached__, "doc": c.__doc__,
                          "loader": type(c.__loader__).__name__, "init": c.__spec__._initializing,
                          "spec_loader": type(c.__spec__.loader).__name__}))
    """)
    assert out["names"] == ["vorna_comfyui_engine", "vorna_comfyui_engine.config"]
    assert out["package"] == PKG and out["spec_name"] == PKG + ".config"
    assert out["file"].endswith("vorna_comfyui_engine/config.py") and out["origin"] == out["file"]
    assert out["path"] is False and out["cached"] is None and out["doc"] is None
    assert out["loader"] == out["spec_loader"] == "package_module_loader" and out["init"] is False


@pytest.mark.skipif(not has_torch(), reason="node modules need torch")
def test_node_module_imports_only_its_dependencies_and_all_modules_carry_attributes():
    out = run("""
        import json, sys, importlib
        import vorna_comfyui_engine.vae_loader
        first = sorted(k for k in sys.modules if k.startswith("vorna_comfyui_engine"))
        attrs = {}
        for name in ("base", "config", *sys.modules["vorna_comfyui_engine"]._node_modules):
            try:
                m = importlib.import_module("vorna_comfyui_engine." + name)
            except ModuleNotFoundError:
                continue
            attrs[name] = [m.__package__, m.__file__, m.__doc__, m.__cached__, m.__spec__.origin,
                           type(m.__loader__).__name__, m.__spec__._initializing]
        print(json.dumps({"first": first, "attrs": attrs}))
    """)
    assert out["first"] == sorted([PKG, PKG + ".base", PKG + ".config", PKG + ".vae_loader"])
    assert len(out["attrs"]) == 10
    for name, (package, file, doc, cached, origin, loader, init) in out["attrs"].items():
        assert package == PKG and file.endswith(f"vorna_comfyui_engine/{name}.py") and origin == file
        assert doc is None and cached is None and loader == "package_module_loader" and init is False


@pytest.mark.skipif(not has_torch(), reason="node modules need torch")
def test_registry_tables_merge_to_ten_nodes():
    out = run("""
        import json, importlib
        keys, display = [], {}
        for name in importlib.import_module("vorna_comfyui_engine")._node_modules:
            m = importlib.import_module("vorna_comfyui_engine." + name)
            assert list(m.NODE_CLASS_MAPPINGS) == list(m.NODE_DISPLAY_NAME_MAPPINGS)
            keys += list(m.NODE_CLASS_MAPPINGS)
            display.update(m.NODE_DISPLAY_NAME_MAPPINGS)
        import vorna_comfyui_engine.unet_loader as u, vorna_comfyui_engine.clip_loader as c
        print(json.dumps({"keys": keys, "display": display,
                          "unet": {k: v.__name__ for k, v in u.NODE_CLASS_MAPPINGS.items()},
                          "clip": list(c.NODE_CLASS_MAPPINGS)}))
    """)
    assert len(out["keys"]) == len(set(out["keys"])) == 10
    assert out["unet"] == {"Vorna UNETLoader": "VornaUNetLoader"}
    assert out["clip"] == ["VornaCLIPLoader", "VornaCLIPTextEncode"]
    for key, name in out["display"].items():
        assert name == key or key.startswith("VornaCLIP")


def test_failing_body_leaves_no_module_and_runs_again_on_next_import():
    out = run("""
        import json, os, sys
        try:
            import vorna_comfyui_engine.config
        except ValueError as e:
            err = str(e)
        present = "vorna_comfyui_engine.config" in sys.modules
        os.environ["VORNA_REQUEST_TIMEOUT"] = "12"
        import vorna_comfyui_engine.config as c
        print(json.dumps({"err": err, "present": present, "timeout": c.get_config().request_timeout}))
    """, {"VORNA_REQUEST_TIMEOUT": "soon"})
    assert "soon" in out["err"] and out["present"] is False and out["timeout"] == 12


def test_failing_package_body_leaves_no_package_and_points_at_its_init():
    out = run("""
        import json, sys, traceback
        bootstrap = sys.modules["_frozen_importlib"]
        real = bootstrap._spec_from_module
        def broken(module, *args, **kwargs):
            raise LookupError("broken on purpose")
        bootstrap._spec_from_module = broken
        try:
            import vorna_comfyui_engine
        except LookupError as e:
            err = str(e)
            entries = [[f.filename, f.lineno, f.name] for f in traceback.extract_tb(e.__traceback__)]
        present = "vorna_comfyui_engine" in sys.modules
        bootstrap._spec_from_module = real
        import vorna_comfyui_engine as p
        print(json.dumps({"err": err, "entries": entries,
                          "present": present, "again": p.__spec__.origin == p.__file__}))
    """)
    assert out["err"] == "broken on purpose" and out["present"] is False and out["again"] is True
    # The package's entry sits between the importer and the frame that raised.
    (file, line, name), raised = out["entries"][-2:]
    assert file.endswith(f"/{PKG}/__init__.py") and (line, name) == (1, "<module>") and raised[2] == "broken"


def test_module_runs_again_after_removal_with_fresh_state():
    out = run("""
        import json, sys
        import vorna_comfyui_engine.config as c1
        c1.set_api_key("runtime")
        del sys.modules["vorna_comfyui_engine.config"]
        import vorna_comfyui_engine.config as c2
        print(json.dumps({"new": c1 is not c2, "key": c2.get_api_key(), "old_key": c1.get_api_key(),
                          "new_class": c1.Config is not c2.Config,
                          "finders": sum(type(f).__name__ == "package_module_loader" for f in sys.meta_path)}))
    """)
    assert out == {"new": True, "key": "", "old_key": "runtime", "new_class": True, "finders": 1}


def test_dotted_parent_rewrites_the_table(tmp_path):
    pkg = tmp_path / "a" / "b"
    pkg.mkdir(parents=True)
    (tmp_path / "a" / "__init__.py").write_text("")
    # The way a host imports a custom-node folder that carries the shared object.
    (pkg / "__init__.py").write_text("from . import vorna_comfyui_engine\n")
    shutil.copy(shared_object(), pkg)
    out = run("""
        import json, sys
        import a.b.vorna_comfyui_engine.config as c
        import a.b
        finder = [f for f in sys.meta_path if type(f).__name__ == "package_module_loader"][0]
        print(json.dumps({"name": c.__name__, "package": c.__package__,
                          "pkg_name": a.b.vorna_comfyui_engine.__name__,
                          "pkg_package": a.b.vorna_comfyui_engine.__package__,
                          "served": finder.find_spec("a.b.vorna_comfyui_engine.config") is not None,
                          "plain": finder.find_spec("vorna_comfyui_engine.config") is None,
                          "key": c.get_api_key()}))
    """, {"VORNA_API_KEY": "k"}, cwd=tmp_path)
    assert out["name"] == "a.b.vorna_comfyui_engine.config"
    assert out["package"] == out["pkg_name"] == out["pkg_package"] == "a.b.vorna_comfyui_engine"
    assert out["served"] and out["plain"] and out["key"] == "k"


def test_finder_answers_only_for_its_own_names(tmp_path):
    import vorna_comfyui_engine as p
    finder = next(f for f in sys.meta_path if type(f).__name__ == "package_module_loader")
    spec = finder.find_spec(PKG + ".config")
    assert spec.name == PKG + ".config" and type(spec.loader).__name__ == "package_module_loader"
    assert spec.submodule_search_locations is None
    assert finder.find_spec(PKG).submodule_search_locations == []
    assert finder.find_spec("json") is None
    assert finder.find_spec(PKG + ".missing") is None
    # A separately installed extension next to the package is offered as a file.
    extra = tmp_path / ("extra" + importlib.machinery.EXTENSION_SUFFIXES[0])
    extra.write_bytes(b"")
    (tmp_path / "extra_notes.txt").write_text("")
    saved = list(p.__path__)
    p.__path__[:] = [str(tmp_path / "missing-dir"), str(tmp_path)]
    try:
        found = finder.find_spec(PKG + ".extra")
        assert found.origin == str(extra)
        assert isinstance(found.loader, importlib.machinery.ExtensionFileLoader)
        assert finder.find_spec(PKG + ".extra_notes") is None
    finally:
        p.__path__[:] = saved
    with pytest.raises(ModuleNotFoundError):
        import vorna_comfyui_engine.missing  # noqa: F401
