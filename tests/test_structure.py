"""The shape every extension module of the package keeps, checked on whatever
modules the package holds (new modules are picked up without changes here).

- Every native type (a class whose metaclass is ``type``, defined by the
  module) is subclassable; all but exception classes (made like the built-in
  ones) are immutable and take weak references.
- Module states are visible to the garbage collector.  From Python, a module
  state can be seen only through what its traverse function visits, so the
  test counts references instead: for every garbage-collected object that a
  module, its types or their descriptors expose (types, override slots'
  descriptors, imported helpers ...), the references the collector can see
  (``gc.get_referrers`` / ``gc.get_referents``) must account for the whole
  reference count.  A reference that a module state holds without visiting it
  shows up as the difference.  A state that does not clear what it holds
  keeps its module alive after the module is dropped and collected, which the
  teardown test sees through weak references.
- Every published table (the ``_C_API`` capsule) is named after its module and
  starts with a version and the table's size; every module with an
  ``<module>_api.h`` publishes one.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.util
import json
import pkgutil
import subprocess
import sys
from pathlib import Path

import pytest

import velmora

SOURCES = Path(__file__).resolve().parents[1] / "src" / "velmora"
IMMUTABLE = 1 << 8
BASETYPE = 1 << 10
MANAGED_WEAKREF = 1 << 3


def extension_modules() -> list[str]:
    names = []
    for info in pkgutil.iter_modules(velmora.__path__, "velmora."):
        spec = importlib.util.find_spec(info.name)
        # Test-only helpers built from tests/native are not part of the package.
        if isinstance(spec.loader, importlib.machinery.ExtensionFileLoader) and not info.name.endswith("_test"):
            names.append(info.name)
    return sorted(names)


MODULES = extension_modules()


def native_types(module) -> list[type]:
    return [v for v in vars(module).values()
            if type(v) is type and v.__module__ == module.__name__]


TYPES = [pytest.param(t, id=f"{m}.{t.__name__}") for m in MODULES
         for t in native_types(importlib.import_module(m))]


def test_every_module_is_found():
    assert {"velmora.headers", "velmora.url", "velmora.cookies", "velmora.routing"} <= set(MODULES)


@pytest.mark.parametrize("tp", TYPES)
def test_native_types_are_immutable_and_subclassable(tp):
    assert tp.__flags__ & BASETYPE
    assert issubclass(type("Sub", (tp,), {}), tp)
    # Exception classes are made like the built-in ones: no method tables to
    # protect, no weak references.
    if not issubclass(tp, BaseException):
        assert tp.__flags__ & IMMUTABLE, f"{tp.__name__} is not an immutable type"
        with pytest.raises(TypeError):
            tp.probe_attribute = 1
        assert tp.__weakrefoffset__ or tp.__flags__ & MANAGED_WEAKREF, f"{tp.__name__} takes no weak references"


# Runs in a fresh interpreter: imports every module, then counts the
# references nobody visits, for every object the modules expose.
UNVISITED = r"""
import gc, importlib, json, sys
names = json.loads(sys.argv[1])
modules = [importlib.import_module(n) for n in names]
gc.collect()

def exposed(module):
    for value in list(vars(module).values()):
        yield value
        if isinstance(value, type) and value.__module__ == module.__name__:
            yield from vars(value).values()
    yield from gc.get_referents(module)

def unvisited(x):
    seen = 0
    for holder in gc.get_referrers(x):
        seen += sum(1 for r in gc.get_referents(holder) if r is x)
    return sys.getrefcount(x) - seen

def scan(objects):
    counts, done = [], set()
    for x in objects:
        if id(x) in done or not gc.is_tracked(x) or sys.getrefcount(x) > 1 << 29:
            continue
        done.add(id(x))
        counts.append((x, unvisited(x)))
    return counts

# The references of the scan itself (arguments, loop variables) are invisible
# too: a plain class scanned the same way tells how many there are.
probe = type("Probe", (), {})
own = scan([probe])[0][1]
report = {m.__name__: [[getattr(x, "__qualname__", repr(x)[:60]), type(x).__name__, n - own]
                       for x, n in scan(list(exposed(m))) if n != own]
          for m in modules}
print(json.dumps(report))
"""


def run_python(script: str, *args: str) -> dict | list:
    out = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.splitlines()[-1])


def test_module_states_visit_everything_they_hold():
    hidden = {m: r for m, r in run_python(UNVISITED, json.dumps(MODULES)).items() if r}
    assert not hidden, f"references the garbage collector cannot see (name, type, count): {hidden}"


TEARDOWN = r"""
import gc, importlib, json, sys, weakref
import velmora
names = json.loads(sys.argv[1])
refs = {}
for name in names:
    module = importlib.import_module(name)
    refs[name] = weakref.ref(module)
    for key, value in vars(module).items():
        if type(value) is type and value.__module__ == name:
            refs[f"{name}.{key}"] = weakref.ref(value)
del module, value
for name in names:
    sys.modules.pop(name)
    delattr(velmora, name.rpartition(".")[2])
for _ in range(3):
    gc.collect()
print(json.dumps(sorted(k for k, r in refs.items() if r() is not None)))
"""


def test_dropped_modules_are_freed():
    assert run_python(TEARDOWN, json.dumps(MODULES)) == []


@pytest.mark.parametrize("name", MODULES)
def test_published_tables_carry_version_and_size(name):
    import ctypes

    module = importlib.import_module(name)
    short = name.rpartition(".")[2]
    capsule = vars(module).get("_C_API")
    if capsule is None:
        assert not (SOURCES / short / f"{short}_api.h").exists(), f"{name} publishes no _C_API"
        return
    api = ctypes.pythonapi
    api.PyCapsule_GetName.restype = ctypes.c_char_p
    api.PyCapsule_GetName.argtypes = [ctypes.py_object]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    capsule_name = api.PyCapsule_GetName(capsule)
    assert capsule_name == f"{name}._C_API".encode()
    version, size = (ctypes.c_uint32 * 2).from_address(api.PyCapsule_GetPointer(capsule, capsule_name))
    pointer = ctypes.sizeof(ctypes.c_void_p)
    assert version >= 1
    assert 8 + pointer <= size < 1 << 16 and size % pointer == 0, size
