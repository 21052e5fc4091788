"""The introspection surface of the four modules: names in definition order,
real signatures and docstrings, `help()`, stubs that match the runtime, and the
public API type-checking under ``mypy --strict`` through the shipped stubs."""

import ast
import dataclasses
import inspect
import os
import pydoc
import re
import subprocess
import sys
import tempfile
import types
from pathlib import Path

import pytest

import vesperkit.auth.key_registry as kr
import vesperkit.auth.postgres_registry as postgres_registry
import vesperkit.auth.rotate_key as rotate_key
import vesperkit.auth.shared_registry as shared_registry
import vesperkit.graph.concept_mesh as cm
import vesperkit.graph.view as view
import vesperkit.memory.backends.vector_vault as vv
import vesperkit.utils._embeddings as embeddings
import vesperkit.utils.encryption as encryption

MODULES = [cm, vv, kr, encryption]
# Plain-Python modules of the package with stubs of their own: checked like the
# extension modules, for their public names.
HOST_MODULES = [shared_registry, postgres_registry, rotate_key, view]
USAGE = Path(__file__).parent / "typing" / "usage.py"

# Every name a module binds, and the members of its classes, in definition order.
DEFINITION_ORDER = [
    (cm, ["heapq", "math", "Dict", "List", "Tuple", "Set", "Optional", "dataclass", "field",
          "normalize_items", "cosine_similarity", "np", "_similarity_matrix", "_density_entropy",
          "GraphNode", "GraphEdge", "_short", "ConceptMesh"]),
    (vv, ["contextlib", "json", "os", "threading", "Iterable", "List", "Optional", "Set",
          "psycopg", "Vector", "register_vector", "PostgresVectorBackend"]),
    (kr, ["logging", "os", "json", "hashlib", "secrets", "time", "datetime", "Optional", "Dict",
          "List", "dataclass", "field", "asdict", "Path", "validate_file_path", "FileEncryptor",
          "logger", "Token", "KeyRegistry", "_replace_token_file"]),
    (encryption, ["base64", "logging", "os", "Optional", "logger", "Fernet", "InvalidToken",
                  "ENCRYPTION_AVAILABLE", "MAGIC_HEADER", "FileEncryptor"]),
    (vv.PostgresVectorBackend, ["__init__", "_conn", "_session_id", "_embedding_or_none", "add", "add_batch", "get",
                                "update", "delete", "vector_search", "hybrid_search", "create_text_index",
                                "all_records", "stats", "clear", "convert_storage_format"]),
    (kr.KeyRegistry, ["TOKEN_PREFIX", "__init__", "_load_tokens", "_save_tokens", "_hash_key", "_generate_key",
                      "_generate_token_id", "create_token", "validate_token", "revoke_token", "delete_token",
                      "list_tokens", "get_token", "update_token", "regenerate_key"]),
    (kr.Token, ["is_expired", "has_permission", "is_rate_limited", "record_request", "to_dict", "from_dict"]),
    (encryption.FileEncryptor, ["__init__", "encrypt", "decrypt", "encrypt_text", "decrypt_text",
                                "generate_key", "is_encrypted", "rotate"]),
]


def own_names(namespace):
    """The names a module or class defines itself, dunders aside (but `__init__`)."""
    names = [n for n in vars(namespace) if not n.startswith("__") or n == "__init__"]
    if dataclasses.is_dataclass(namespace):  # the generated members are not ours to order
        names = [n for n in names if n != "__init__" and n not in namespace.__dataclass_fields__]
    return names


@pytest.mark.parametrize("namespace, expected", DEFINITION_ORDER, ids=lambda v: getattr(v, "__name__", ""))
def test_names_in_definition_order(namespace, expected):
    assert own_names(namespace) == expected
    if isinstance(namespace, type):
        assert namespace.__bases__ == (object,)


def public_callables():
    """(qualified name, object) of every class, method and function the modules define."""
    found = []
    for module in MODULES + HOST_MODULES:
        public_only = module in HOST_MODULES  # their private helpers are not API
        for name, value in vars(module).items():
            if public_only and name.startswith("_"):
                continue
            if getattr(value, "__module__", None) != module.__name__:
                continue
            found.append((f"{module.__name__}.{name}", value))
            if not isinstance(value, type):
                continue
            for attr in own_names(value):
                if public_only and attr.startswith("_") and attr != "__init__":
                    continue
                member = getattr(value, attr)
                if callable(member) and not isinstance(member, type):
                    found.append((f"{module.__name__}.{name}.{attr}", member))
    return found


PUBLIC = public_callables()


@pytest.mark.parametrize("qualname, obj", PUBLIC, ids=[q for q, _ in PUBLIC])
def test_real_signature_and_docstring(qualname, obj):
    signature = inspect.signature(obj)
    assert "*args" not in str(signature) and "**kwargs" not in str(signature), signature
    assert inspect.getdoc(obj) and len(inspect.getdoc(obj)) > 20, qualname
    text = pydoc.render_doc(obj, renderer=pydoc.plaintext)
    assert inspect.getdoc(obj).splitlines()[0] in text


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_help_of_the_module_shows_every_signature(module):
    # Long signatures are wrapped over several lines, under the class's "|" margin.
    flat = re.sub(r"[\s|]+", "", pydoc.render_doc(module, renderer=pydoc.plaintext))
    for qualname, obj in PUBLIC:
        name = qualname.rsplit(".", 1)[1]
        if qualname.startswith(module.__name__ + ".") and not isinstance(obj, type) and name[0] != "_":
            assert re.sub(r"\s+", "", f"{name}{inspect.signature(obj)}") in flat, qualname


# ---------------------------------------------------------------- stub signatures


def stub_functions(module):
    """{qualified name: ast function node} of the module's stub, classes included."""
    tree = ast.parse((Path(module.__file__).parent / (module.__name__.rsplit(".", 1)[1] + ".pyi")).read_text())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef):
            found.update({f"{node.name}.{f.name}": f for f in node.body if isinstance(f, ast.FunctionDef)})
    return found


def shape(params):
    """(name, kind, default) of each parameter; a default is (type, value)."""
    return [(name, kind, default if default is None else (type(default[0]), default[0]))
            for name, kind, default in params]


def stub_shape(fn, bound):
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + [(ast.literal_eval(d),) for d in a.defaults]
    params = [(arg.arg, "positional", d) for arg, d in zip(positional, defaults)]
    params += [(arg.arg, "keyword", None if d is None else (ast.literal_eval(d),))
               for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    return shape(params[1:] if bound else params)


def runtime_shape(obj, bound):
    kinds = {inspect.Parameter.POSITIONAL_ONLY: "positional", inspect.Parameter.POSITIONAL_OR_KEYWORD: "positional",
             inspect.Parameter.KEYWORD_ONLY: "keyword"}
    params = [(p.name, kinds[p.kind], None if p.default is p.empty else (p.default,))
              for p in inspect.signature(obj).parameters.values()]
    return shape(params[1:] if bound else params)


def native_callables():
    """(module, qualified name, raw object, takes the object or class first) of every
    function and method the extension modules define."""
    found = []
    for module in MODULES + [embeddings]:
        for name, value in vars(module).items():
            if getattr(value, "__module__", None) != module.__name__:
                continue
            if not isinstance(value, type):
                found.append((module, name, value, False))
                continue
            for attr in own_names(value):
                raw = vars(value)[attr]
                if isinstance(raw, staticmethod):
                    found.append((module, f"{name}.{attr}", raw.__func__, False))
                elif callable(getattr(value, attr)) and not isinstance(raw, property):
                    found.append((module, f"{name}.{attr}", getattr(raw, "__func__", raw), True))
    return found


NATIVE = native_callables()


@pytest.mark.parametrize("module, qualname, obj, bound", NATIVE, ids=[f"{m.__name__}.{q}" for m, q, _, _ in NATIVE])
def test_signature_is_the_stubs(module, qualname, obj, bound):
    stubs = stub_functions(module)
    assert qualname in stubs, qualname
    assert runtime_shape(obj, bound) == stub_shape(stubs[qualname], bound)


def test_stubs_match_the_runtime():
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull,
         *(m.__name__ for m in MODULES + HOST_MODULES)],
        capture_output=True, text=True, timeout=300,
        env={**os.environ, "MYPY_CACHE_DIR": os.path.join(tempfile.gettempdir(), "vesperkit-stubtest-cache")},
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_usage_example_passes_mypy_strict(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), str(USAGE)],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
