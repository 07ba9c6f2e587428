"""pytest plugin: keep only the tests that need no stand-in service (used by
scripts/sanitize.sh). A test needs the service when the source of the test
or of one of its fixtures names a stand-in fixture or helper (some fixtures
ask for it at run time, through request.getfixturevalue)."""
import inspect

SERVICE_WORDS = ("standin", "live_host")


def _mentions_service(func):
    try:
        source = inspect.getsource(func)
    except (OSError, TypeError):
        return False
    return any(word in source for word in SERVICE_WORDS)


def _needs_service(item):
    if _mentions_service(getattr(item, "function", None)):
        return True
    info = getattr(item, "_fixtureinfo", None)
    defs = info.name2fixturedefs if info is not None else {}
    for name in getattr(item, "fixturenames", ()):
        if name.startswith("standin"):
            return True
        for fixturedef in defs.get(name, ()):
            if fixturedef.baseid and _mentions_service(fixturedef.func):
                return True
    return False


def pytest_collection_modifyitems(config, items):
    keep, drop = [], []
    for item in items:
        (drop if _needs_service(item) else keep).append(item)
    if drop:
        config.hook.pytest_deselected(items=drop)
        items[:] = keep
