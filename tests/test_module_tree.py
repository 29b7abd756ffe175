"""Module initialisation: the module tree, its sys.modules entries and the import guards.

Anything that depends on first-import order or on process-wide state (the interpreter
binding, a failed first import, sub-interpreters) runs in a fresh interpreter.
"""

import ast
import functools
import shutil
import subprocess
import sys
import sysconfig
import types

import pytest

import corvane
from conftest import run_isolated
from doubles import NESTED

HAS_CLASSES = hasattr(corvane.do_mod.packets, "Request")
needs_classes = pytest.mark.skipif(not HAS_CLASSES, reason="packet classes not registered yet")

CLASS_NAMES = {
    "Request",
    "Response",
    "GetDoutsRequest",
    "GetDoutsResponse",
    "SetDoutsRequest",
    "SetDoutsResponse",
}
REFUSAL = "corvane does not yet support subinterpreters, see "

# dotted key, __name__, __doc__, __all__ once every class is registered
MODULES = [
    ("corvane", "corvane", "", ["do_mod", "get_do_request", "set_do_request"]),
    ("corvane.do_mod", "do_mod", None, ["packets"]),
    ("corvane.do_mod.packets", "packets", None, ["get_do", "set_do", "Request", "Response"]),
    ("corvane.do_mod.packets.get_do", "get_do", None, ["GetDoutsRequest", "GetDoutsResponse"]),
    ("corvane.do_mod.packets.set_do", "set_do", None, ["SetDoutsRequest", "SetDoutsResponse"]),
]
# What every module object gets from the interpreter (the import system adds __file__ to
# the top-level module only).
MODULE_DUNDERS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__"}


def reach(key):
    return functools.reduce(getattr, key.split(".")[1:], corvane)


@pytest.mark.parametrize("key, name, doc, full_all", MODULES, ids=[m[0] for m in MODULES])
def test_module_identity_and_attributes(key, name, doc, full_all):
    module = reach(key)
    assert type(module) is types.ModuleType
    assert module.__name__ == name
    assert type(module.__doc__) is type(doc) and module.__doc__ == doc
    assert sys.modules[key] is module
    # __all__ is created with the first attribute, so a module holding only classes has
    # none until the classes are registered; other entries are there in their final order.
    listed = vars(module).get("__all__", [])
    assert type(listed) is list
    assert [n for n in listed if n not in CLASS_NAMES] == [
        n for n in full_all if n not in CLASS_NAMES
    ]
    # Exactly the listed attributes, nothing else (no PanicException, no variant classes).
    own = set(vars(module)) - MODULE_DUNDERS - ({"__file__"} if key == "corvane" else set())
    assert own == set(listed) | ({"__all__"} if listed else set())
    if key != "corvane":
        # Plain module objects: no file, loader or __spec__ of their own.
        assert module.__spec__ is None and module.__loader__ is None
        assert not hasattr(module, "__file__")
        assert not hasattr(module, "get_do_request")


@pytest.mark.parametrize(
    "key, full_all",
    [
        pytest.param(
            key, full_all, id=key, marks=[needs_classes] if CLASS_NAMES & set(full_all) else []
        )
        for key, _, _, full_all in MODULES
    ],
)
def test_module_all(key, full_all):
    module = reach(key)
    assert module.__all__ == full_all
    for name in CLASS_NAMES & set(full_all):
        cls = getattr(module, name)
        assert type(cls) is type and cls.__name__ == name and cls.__module__ == "builtins"


@pytest.mark.parametrize(
    "name, signature",
    [
        ("get_do_request", "(addr, id)"),
        ("set_do_request", "(bin_state, id)"),
    ],
)
def test_function_attributes(name, signature):
    fn = getattr(corvane, name)
    assert type(fn) is types.BuiltinFunctionType
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__self__ is corvane
    assert fn.__module__ == "corvane"
    assert fn.__text_signature__ == signature
    assert fn.__doc__ is None


# ---------------------------------------------------------------------------------------
# Fresh interpreters


def observe(scenario, *args, timeout=60.0):
    """Run a scenario of isolated/module_tree.py; return the literal it prints last."""
    proc = run_isolated("module_tree.py", scenario, *map(str, args), timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return ast.literal_eval(proc.stdout.strip().splitlines()[-1])


@pytest.mark.isolated
def test_sys_modules_entries_are_made_complete_in_order():
    # Replacing sys.modules by a recording mapping shows every registration as it
    # happens: each nested module must be finished (its __all__ final) and not yet
    # attached to its parent when it is entered.
    obs = observe("registration_order")
    keys = [entry[0] for entry in obs]
    assert keys[:4] == NESTED
    assert set(keys[4:]) == {"corvane"}  # entered by the import system afterwards
    for key, is_tree_object, complete, attached in obs[:4]:
        assert is_tree_object, key
        assert complete, f"{key} entered in sys.modules before it was finished"
        assert not attached, f"{key} attached to its parent before it was entered"


@pytest.mark.isolated
@pytest.mark.parametrize(
    "form",
    [
        "import-dotted",
        "import-as",
        "from-packets",
        "star",
        pytest.param("from-get_do", marks=needs_classes),
        pytest.param("star-set_do", marks=needs_classes),
    ],
)
def test_import_forms_in_fresh_interpreter(form):
    assert observe("import_form", form) is True


@pytest.mark.isolated
def test_reimport_returns_same_module_without_rebuilding():
    obs = observe("reimport")
    assert obs == {
        "same": True,
        "do_mod back": False,
        "tree kept": True,
        "all": ["do_mod", "get_do_request", "set_do_request"],
    }


@pytest.mark.isolated
def test_failed_import_leaves_entries_and_next_import_builds_again():
    obs = observe("failed_import")
    assert obs["first"] == ("Boom", "no sys for you")
    assert obs["left"] == NESTED[:2]
    assert obs["second"] == "ok"
    assert obs["rebuilt"] == [True, True]
    assert obs["tree"] is True
    assert all(obs["classes reused"])


@pytest.mark.isolated
def test_allocation_failures_during_build_raise_and_a_later_import_succeeds():
    # Fail one allocation at a time, moving through the whole build; every failed
    # attempt must end in an exception (never a crash) and leave a state from which the
    # next attempt can go on, until one succeeds with a complete tree. The init function
    # is called directly: under 3.13.0 an allocation failure in the import system's own
    # bookkeeping after a successful init crashes the interpreter itself.
    pytest.importorskip("_testcapi")
    obs = observe("allocation_failures", corvane.__file__, timeout=300)
    assert obs["same"] is True
    assert obs["inside build"] > 0, obs
    assert obs["tree"] is True
    assert obs["all"] == {key: vars(reach(key)).get("__all__", []) for key, *_ in MODULES}


# ---------------------------------------------------------------------------------------
# Sub-interpreters. The first interpreter to run the initialisation function is bound;
# any other is refused. Since 3.13 the interpreter runs a single-phase init function in
# the main interpreter first when a sub-interpreter imports it, so there the main
# interpreter is bound even when a sub-interpreter imports corvane first.

PY313 = sys.version_info >= (3, 13)
# A free-threaded interpreter checks that a module may be loaded in a sub-interpreter before
# running its initialisation function, and refuses a single-phase one itself, with this text.
INTERPRETER_REFUSAL = ("ImportError", "module corvane does not support loading in subinterpreters")


def assert_refused(outcome):
    kind, message = outcome[:2]
    if sysconfig.get_config_var("Py_GIL_DISABLED") and (kind, message) == INTERPRETER_REFUSAL:
        pytest.skip("the free-threaded interpreter refuses the sub-interpreter before corvane runs")
    assert kind == "ImportError" and message.startswith(REFUSAL), outcome


@pytest.fixture
def subinterp_out(tmp_path):
    pytest.importorskip("_testcapi")
    return tmp_path / "subinterpreter.out"


@pytest.mark.isolated
def test_subinterpreter_refused_after_main_imported(subinterp_out):
    obs = observe("subinterpreter_after_main", subinterp_out)
    assert obs["main"] == ("ok", NESTED + ["corvane"])
    assert_refused(obs["sub"])
    assert obs["sub"][2] == []  # nothing was built in the refused interpreter
    assert obs["main after"] == NESTED + ["corvane"]


@pytest.mark.isolated
def test_subinterpreter_imports_first(subinterp_out):
    obs = observe("subinterpreter_first", subinterp_out)
    if PY313:
        # The init function ran in the main interpreter (binding it and building the tree
        # there); the sub-interpreter's own call was refused.
        assert_refused(obs["sub"])
        assert obs["sub"][2] == []
        assert obs["between"] == NESTED
        assert obs["main"] == ("ok", NESTED + ["corvane"])
        assert obs["same"] is True
    else:
        # The sub-interpreter bound itself; the main interpreter is the other one now.
        assert obs["sub"] == ("ok", NESTED + ["corvane"])
        assert obs["between"] == []
        assert_refused(obs["main"])


@pytest.mark.isolated
def test_isolated_subinterpreter_never_binds(tmp_path):
    # The interpreter refuses single-phase modules in an isolated sub-interpreter (3.12 once
    # the init function has returned); corvane must not bind such an interpreter on the way.
    obs = observe("isolated_subinterpreter_first", tmp_path / "subinterpreter.out")
    assert obs["sub"] == (
        "ImportError",
        "module corvane does not support loading in subinterpreters",
        [],
    )
    # 3.13 ran the init function in the main interpreter first, which built the tree there.
    assert obs["between"] == (NESTED if PY313 else [])
    assert obs["main"] == ("ok", NESTED + ["corvane"])


@pytest.mark.isolated
def test_subinterpreter_refused_after_main_import_failed(subinterp_out):
    obs = observe("subinterpreter_after_failed_import", subinterp_out)
    assert obs["first"] == ("Boom", "no sys for you")
    assert_refused(obs["sub"])
    assert obs["sub"][2] == []
    # 3.13 reran the init function in the (bound) main interpreter, which built the tree.
    assert obs["between"] == (NESTED if PY313 else [])
    assert obs["main"] == ("ok", NESTED + ["corvane"])


# ---------------------------------------------------------------------------------------


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run(
        [nm, "-D", "--defined-only", corvane.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_corvane"]
