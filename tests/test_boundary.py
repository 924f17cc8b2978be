import collections.abc
import ctypes
import gc
import subprocess
import sys
import pytest

import tovik._core as core
from tovik._core import ParsedModel, SourceInfo, find_macro_calls, parse_sql

FUNCTIONS = [
    "parse_sql", "compile_model", "resolve_model", "wrap_ddl", "find_macro_calls",
    "build_dag", "validate_dag", "topo_sort", "dag_edges", "build_pipeline",
    "batch_resolve", "batch_wrap_ddl", "select_models",
]
CLASSES = [
    "ParsedSQL", "CompiledModel", "ResolvedModel", "MacroCall", "SourceInfo",
    "ParsedModel", "EphemeralModel", "DagHandle", "ValidationError",
]


def test_module_and_function_attributes():
    assert core.__all__ == FUNCTIONS + CLASSES
    assert core.__doc__ == "Python module: tovik._core"
    for name in FUNCTIONS:
        fn = getattr(core, name)
        assert (fn.__module__, fn.__name__) == ("tovik._core", name)
        # Signature and body come from one text; stubtest compares the signature
        # with the stubs only when the split succeeded.
        assert fn.__text_signature__.startswith("(") and "\n--\n" not in fn.__doc__
    assert parse_sql.__text_signature__ == "(raw_sql)"
    assert parse_sql.__doc__ == "Parse a raw SQL file"
    assert core.build_pipeline.__doc__.startswith(
        "Consolidated DAG pipeline: parse \u2192 build \u2192 validate \u2192 sort")


def test_second_init_returns_same_module():
    lib = ctypes.PyDLL(core.__file__)
    lib.PyInit__core.restype = ctypes.py_object
    assert lib.PyInit__core() is core


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(Exception, match="ImportError"):
            interpreters.run_string(interp, "import tovik._core")
    finally:
        interpreters.destroy(interp)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: parse_sql(), TypeError,
         "parse_sql() missing 1 required positional argument: 'raw_sql'"),
        (lambda: parse_sql("a", "b"), TypeError,
         "parse_sql() takes 1 positional arguments but 2 were given"),
        (lambda: parse_sql(sql="a"), TypeError,
         "parse_sql() got an unexpected keyword argument 'sql'"),
        (lambda: parse_sql("a", raw_sql="a"), TypeError,
         "parse_sql() got multiple values for argument 'raw_sql'"),
        (lambda: parse_sql(5), TypeError,
         "argument 'raw_sql': 'int' object cannot be converted to 'PyString'"),
        (lambda: find_macro_calls(), TypeError,
         "find_macro_calls() missing 2 required positional arguments: 'sql' and 'known_functions'"),
        (lambda: find_macro_calls("f(x)", "f"), TypeError,
         "argument 'known_functions': Can't extract `str` to `Vec`"),
        (lambda: find_macro_calls("f(x)", ["f", 3]), TypeError,
         "argument 'known_functions': 'int' object cannot be converted to 'PyString'"),
        # The first wrong parameter in declared order is the one named.
        (lambda: find_macro_calls(known_functions=3, sql=4), TypeError,
         "argument 'sql': 'int' object cannot be converted to 'PyString'"),
        (lambda: ParsedModel(), TypeError,
         "ParsedModel.__new__() missing 3 required positional arguments: 'name', 'refs', and 'sources'"),
        (lambda: ParsedModel("a", [], [], [], None, 1), TypeError,
         "ParsedModel.__new__() takes from 3 to 5 positional arguments but 6 were given"),
        (lambda: SourceInfo(databse="a", schema="b"), TypeError,
         "SourceInfo.__new__() got an unexpected keyword argument 'databse'"),
        (lambda: ParsedModel("a", [], [("s", "t", "u")]), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        (lambda: ParsedModel("a", [], [["s", "t"]]), TypeError,
         "argument 'sources': 'list' object cannot be converted to 'PyTuple'"),
        (lambda: ParsedModel("a", [], [("s", 1)]), TypeError,
         "argument 'sources': 'int' object cannot be converted to 'PyString'"),
        (lambda: ParsedModel("a", [], [], None), TypeError,
         "argument 'tags': 'NoneType' object cannot be converted to 'Sequence'"),
        (lambda: ParsedModel("a", [], [], materialization=3), TypeError,
         "argument 'materialization': 'int' object cannot be converted to 'PyString'"),
        (lambda: core.topo_sort(None), TypeError,
         "argument 'dag': 'NoneType' object cannot be converted to 'DagHandle'"),
        (lambda: core.batch_resolve([["a", "b"]], "s", "m", {}, {}), TypeError,
         "argument 'raw_models': 'list' object cannot be converted to 'PyTuple'"),
        (lambda: core.compile_model("x", "m", "s", "view", {}, {}, None), TypeError,
         "argument 'ephemerals': 'NoneType' object cannot be converted to 'PyDict'"),
        (lambda: core.compile_model("x", "m", "s", "view", {"k": 1}, {}), TypeError,
         "argument 'vars': 'int' object cannot be converted to 'PyString'"),
        (lambda: core.resolve_model("x", "m", "s", "view", {}, {"raw": ("db", "s")}), TypeError,
         "argument 'sources': 'tuple' object cannot be converted to 'SourceInfo'"),
        (lambda: core.select_models(core.build_dag([]), "x", {"a": "t"}), TypeError,
         "argument 'tags_map': Can't extract `str` to `Vec`"),
        (lambda: core.wrap_ddl(core.parse_sql("")), TypeError,
         "argument 'resolved': 'ParsedSQL' object cannot be converted to 'ResolvedModel'"),
        (lambda: core.batch_wrap_ddl([core.compile_model("x", "m", "s", "view", {}, {})]),
         TypeError,
         "argument 'models': 'CompiledModel' object cannot be converted to 'ResolvedModel'"),
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_unicode_encode_error_is_not_prefixed():
    with pytest.raises(UnicodeEncodeError):
        parse_sql("\ud800")
    with pytest.raises(UnicodeEncodeError):
        find_macro_calls("f()", ["\udfff"])


class OnlyGetitem:
    def __getitem__(self, i):
        if i:
            raise IndexError
        return "f"


class ClaimsLength(OnlyGetitem):
    """One item behind whatever length __len__ reports."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class DictWithGetitem(dict):
    def __getitem__(self, i):
        return "f"


@pytest.mark.parametrize(
    "value, accepted",
    [
        (("f",), True),
        (range(0), True),
        (collections.deque(["f"]), True),
        (OnlyGetitem(), True),
        ({"f": 1}, False),
        (DictWithGetitem(), False),
        ({"f"}, False),
        (iter(["f"]), False),
        ((x for x in "f"), False),
    ],
)
def test_what_counts_as_a_sequence(value, accepted):
    if accepted:
        find_macro_calls("f(x)", value)
    else:
        with pytest.raises(TypeError, match="cannot be converted to 'Sequence'"):
            find_macro_calls("f(x)", value)


@pytest.mark.parametrize(
    "length, raised",
    [
        (sys.maxsize, None),
        (2**31, None),
        (0, None),
        (TypeError("no length"), None),
        (KeyboardInterrupt(), KeyboardInterrupt),
        (RecursionError("deep"), RecursionError),
        (2**64, OverflowError),
    ],
)
def test_a_length_is_only_a_hint(length, raised):
    if raised is None:
        assert [c.name for c in find_macro_calls("f(x)", ClaimsLength(length))] == ["f"]
        assert ParsedModel("m", ClaimsLength(length), []).refs == ["f"]
    else:
        # Not a TypeError, so it passes through without the parameter's name.
        with pytest.raises(raised) as info:
            find_macro_calls("f(x)", ClaimsLength(length))
        assert "known_functions" not in str(info.value)


THREADS_PROBE = """
import threading, tovik._core as core
errors = []
def call():
    try:
        core.build_dag(None)
    except TypeError as e:
        errors.append(str(e))
threads = [threading.Thread(target=call) for _ in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(len(set(errors)), len(errors))
"""


def test_first_calls_from_threads_do_not_deadlock(tmp_path):
    # Only the first calls of a fresh interpreter can meet a one-time setup.
    for _ in range(3):
        out = subprocess.run([sys.executable, "-c", THREADS_PROBE], capture_output=True,
                             text=True, cwd=tmp_path, timeout=60)
        assert out.stdout == "1 4\n"


def test_constructor_holds_arguments_while_converting():
    kwargs = {}

    class ClearsTheCall(OnlyGetitem):
        def __getitem__(self, i):
            kwargs.clear()
            gc.collect()
            return super().__getitem__(i)

    sources = [("s" * 40, "t" * 40)]
    kwargs.update(name="m", refs=ClearsTheCall(), sources=sources, tags=["x" * 40])
    del sources
    model = ParsedModel(**kwargs)
    assert (model.refs, model.sources, model.tags) == (["f"], [("s" * 40, "t" * 40)], ["x" * 40])


class Fresh:
    """Builds each item anew on every access and keeps none of them."""

    def __init__(self, n, make):
        self.n, self.make = n, make

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if i >= self.n:
            raise IndexError
        gc.collect()
        return self.make(i)


def long_name(i):
    return f"m{i}_" + "x" * 64


@pytest.mark.parametrize(
    "call, check",
    [
        (lambda: core.batch_resolve(
            Fresh(20, lambda i: (long_name(i), f"select * from ref('{long_name(i)}') " + "y" * 64)),
            "s", "view", {}, {}),
         lambda out: [r.resolved_sql for r in out]
         == [f"select * from s.{long_name(i)} " + "y" * 64 for i in range(20)]),
        (lambda: core.batch_wrap_ddl(Fresh(20, lambda i: core.resolve_model(
            "select " + "z" * 64, long_name(i), "s", "view", {}, {}))),
         lambda out: [c.ddl for c in out]
         == [f"CREATE OR REPLACE VIEW s.{long_name(i)} AS\nselect " + "z" * 64 for i in range(20)]),
        (lambda: core.build_pipeline(
            Fresh(20, lambda i: (long_name(i), f"ref('{long_name(i - 1)}')" if i else "")), []),
         lambda out: out[1] == [[long_name(i)] for i in range(20)] and out[3] == []),
        (lambda: core.validate_dag(core.build_dag([]), Fresh(20, lambda i: ParsedModel(
            long_name(i), [], [("src_" + "s" * 64, "t")])), []),
         lambda out: [e.model for e in out] == [long_name(i) for i in range(20)]),
    ],
)
def test_items_built_on_access_are_held_for_the_call(call, check):
    assert check(call())


# A replaced __new__ cannot be put back on these types, so the probe runs in
# an interpreter of its own.
UNFILLED_PROBE = """
import tovik._core as core

def refused(call):
    try:
        call()
    except TypeError as e:
        return "not initialised" in str(e)
    return False

uses = {
    "DagHandle": [core.topo_sort, core.dag_edges, lambda d: core.select_models(d, "a"),
                  lambda d: core.validate_dag(d, [], [])],
    "ResolvedModel": [core.wrap_ddl, lambda r: core.batch_wrap_ddl([r])],
    "ParsedModel": [lambda m: core.build_dag([m])],
    "SourceInfo": [lambda s: core.resolve_model("x", "m", "s", "view", {}, {"s": s})],
    "EphemeralModel": [lambda e: core.resolve_model("x", "m", "s", "view", {}, {}, {"e": e})],
}
bad = []
for name in core.__all__[13:]:
    cls = getattr(core, name)
    cls.__new__ = lambda cls, *a, **k: object.__new__(cls)
    empty = cls()
    attrs = [a for a, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"]
    bad += [(name, a) for a in attrs if not refused(lambda: getattr(empty, a))]
    bad += [(name, i) for i, use in enumerate(uses.get(name, [])) if not refused(lambda: use(empty))]
print(bad)
"""


def test_instances_no_constructor_filled_are_refused(tmp_path):
    out = subprocess.run([sys.executable, "-c", UNFILLED_PROBE], capture_output=True, text=True,
                         cwd=tmp_path)
    assert (out.returncode, out.stdout, out.stderr) == (0, "[]\n", "")


def test_subclasses_are_accepted_and_names_come_back_as_str():
    class Names(list):
        pass

    class Text(str):
        pass

    assert parse_sql(raw_sql=Text("ref('a')")).refs == ["a"]
    assert find_macro_calls(Text("f(x)"), Names([Text("f")]))[0].args == ["x"]
    # Batches name the models with plain str, whatever the caller's names are.
    batches = core.build_pipeline([(Text("a"), "select 1"), ("b", "ref('a')")], [])[1]
    assert batches == [["a"], ["b"]] and {type(n) for b in batches for n in b} == {str}


def test_error_from_item_iteration_keeps_its_type_and_cause():
    class Bad(collections.abc.Sequence):
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i == 0:
                try:
                    raise KeyError("inner")
                except KeyError as e:
                    raise TypeError("boom") from e
            raise IndexError

    with pytest.raises(TypeError) as info:
        find_macro_calls("f()", Bad())
    assert str(info.value) == "argument 'known_functions': boom"
    assert isinstance(info.value.__cause__, KeyError)

    class Worse(Bad):
        def __getitem__(self, i):
            raise RuntimeError("kept")

    with pytest.raises(RuntimeError, match="^kept$"):
        find_macro_calls("f()", Worse())
