"""The module object: attributes, function records, the once-only
initialisation, the sub-interpreter guard and a restarted interpreter."""

import _imp
import importlib
import importlib.util
import inspect
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import klov_core as kc

FUNCTIONS = [
    ("cosine_similarity", ("a", "b"), "Cosine similarity between two equal-length vectors."),
    ("top_k", ("query", "matrix", "k"), "Indices and scores of the `k` rows most similar to `query`."),
    ("encode_checkpoint", ("json_str",), "Encode a JSON document string into a framed checkpoint blob."),
    ("decode_checkpoint", ("blob",), "Decode a framed checkpoint blob back into a JSON string."),
    ("reduce_channel", ("reducer", "current_json", "update_json"),
     "Reduce `current` with `update` under the named channel reducer."),
    ("advance_superstep", ("state_json", "reducers_json", "updates_json"),
     "Apply a whole superstep's node updates to graph state in one call."),
    ("plan_supersteps", ("nodes", "edges"), "Plan BSP supersteps for the given nodes and edges."),
    ("hash_event", ("prev_hash", "payload"), "Chained hash for an audit entry: `sha256(prev_hash || payload)`."),
    ("verify_chain", ("genesis", "entries"),
     "Verify a hash chain; returns the index of the first broken link or `None`."),
    ("aggregate_cost", ("values",), "Sum per-call costs into a single total."),
]
NAMES = [name for name, _, _ in FUNCTIONS]
MODULE_DIR = str(Path(kc.__file__).resolve().parent)


def test_attributes_in_order():
    assert kc.__all__ == ["__version__", "RUST", *NAMES]
    assert type(kc.__all__) is list
    assert kc.__version__ == "0.1.0" and type(kc.__version__) is str
    assert kc.RUST is True
    assert kc.__doc__ == ""
    # Attributes are set in the order __all__ lists them; nothing else is added.
    added = [k for k in vars(kc) if not (k.startswith("__") and k.endswith("__")) or k == "__version__"]
    assert added == kc.__all__
    assert not hasattr(kc, "PanicException")


@pytest.mark.parametrize("name,params,doc", FUNCTIONS, ids=NAMES)
def test_function_record(name, params, doc):
    fn = getattr(kc, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name
    assert fn.__text_signature__ == "(" + ", ".join(params) + ")"
    assert fn.__doc__ == doc
    assert fn.__module__ == "klov_core"
    assert fn.__self__ is kc
    sig = inspect.signature(fn)
    assert tuple(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty


@pytest.mark.parametrize("how", ["module_from_spec", "create_dynamic", "reload", "fresh_import"])
def test_second_init_returns_the_same_module(how):
    found = importlib.util.find_spec("klov_core")
    if how == "module_from_spec":
        again = importlib.util.module_from_spec(found)
    elif how == "create_dynamic":
        again = _imp.create_dynamic(found)
    elif how == "reload":
        again = importlib.reload(kc)
    else:
        saved = sys.modules.pop("klov_core")
        try:
            again = importlib.import_module("klov_core")
        finally:
            sys.modules["klov_core"] = saved
    assert again is kc
    assert kc.__all__ == ["__version__", "RUST", *NAMES]
    assert kc.aggregate_cost([1.0, 2.0]) == 3.0


def _run_python(code, extra_path=MODULE_DIR):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (extra_path, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)


SUB_CODE = """
try:
    import klov_core
except ImportError as e:
    print("ImportError:", e, flush=True)
else:
    print("imported", flush=True)
"""

SUBINTERPRETER = textwrap.dedent(f"""
    import klov_core
    try:
        import _interpreters as sub
        make = lambda: sub.create("legacy")
    except ImportError:
        import _xxsubinterpreters as sub
        make = lambda: sub.create(isolated=False)
    # A legacy (non-isolated) interpreter lets the import machinery call the
    # module's init function instead of refusing single-phase modules itself.
    iid = make()
    sub.run_string(iid, {SUB_CODE!r})
    sub.destroy(iid)
    print("main:", klov_core.aggregate_cost([1.0, 2.0]), len(klov_core.__all__), flush=True)
""")


def test_subinterpreter_import_fails():
    probe = _run_python("import _interpreters") if sys.version_info >= (3, 13) else _run_python(
        "import _xxsubinterpreters")
    if probe.returncode != 0:
        pytest.skip("no sub-interpreter module in this interpreter")
    proc = _run_python(SUBINTERPRETER)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 2, proc.stdout
    assert lines[0].startswith("ImportError: ") and "subinterpreters" in lines[0]
    assert lines[1] == "main: 3.0 12"


def _embed_flags():
    cfg = sysconfig.get_config_vars()
    include = sysconfig.get_paths()["include"]
    libdir = cfg.get("LIBDIR")
    ldversion = cfg.get("LDVERSION") or cfg.get("VERSION")
    if not libdir or not Path(include, "Python.h").exists():
        return None
    if not any(Path(libdir).glob(f"libpython{ldversion}.*")):
        return None
    libs = (cfg.get("LIBS") or "").split() + (cfg.get("SYSLIBS") or "").split()
    return ["-I" + include], ["-L" + libdir, f"-Wl,-rpath,{libdir}", f"-lpython{ldversion}", *libs]


def test_interpreter_restart_builds_a_fresh_module(tmp_path):
    cc = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    flags = _embed_flags()
    if cc is None or flags is None:
        pytest.skip("no C compiler or no embeddable libpython")
    cflags, ldflags = flags
    exe = tmp_path / "reinit"
    src = Path(__file__).parent / "embed" / "reinit.c"
    build = subprocess.run([cc, "-O1", "-o", str(exe), str(src), *cflags, *ldflags], capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONHOME", "PYTHONSTARTUP")}
    env["PYTHONPATH"] = MODULE_DIR
    proc = subprocess.run([str(exe)], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    rounds = [line.split()[:2] for line in proc.stdout.splitlines()]
    assert rounds == [["round", "1:"], ["round", "2:"]], proc.stdout
