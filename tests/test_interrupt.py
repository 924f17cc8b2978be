"""Long calls stop on a signal with the exception its handler raised, and
leave nothing broken behind: the module is still usable, the caller's
arguments unchanged."""
import random
import signal
import sys

import pytest

import tovik._core as core

RUNAWAY = ("{{ k-j }}", "m", "s", "view", {"k-j": "z{{ k-j }}"}, {})

# Calls that run for seconds, each in a loop of its own kind.
LONG_CALLS = [
    # Passes that grow the text by a byte each.
    RUNAWAY,
    # Passes over brace-dense text.
    ("{{ k-j }}", "m", "s", "view", {"k-j": "{{{{ k-j }}"}, {}),
    # Passes that take keys with braces one by one.
    ("{{ g }}", "m", "s", "view", dict({"{k%d" % i: "v" for i in range(1500)}, g="{{ g }}{"), {}),
    # Refs rewritten one name at a time over a megabyte of text.
    ("".join(f"ref('n{i}f')f " for i in range(60_000)), "m", "s", "view", {}, {}),
]


class Stop(Exception):
    pass


@pytest.fixture
def alarm():
    """Arms SIGALRM to fire once after `delay` seconds with `handler`."""
    old = signal.getsignal(signal.SIGALRM)

    def arm(handler, delay=0.2):
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, delay)

    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


@pytest.fixture
def many_passes(monkeypatch):
    monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", str(2**62))


@pytest.mark.parametrize("call", LONG_CALLS, ids=["growing", "brace-dense", "braced-keys", "refs"])
def test_ctrl_c_stops_a_long_call(alarm, many_passes, call):
    alarm(signal.default_int_handler)
    with pytest.raises(KeyboardInterrupt):
        core.resolve_model(*call)


def test_handler_that_reenters_and_mutates(alarm, many_passes):
    # The handler calls the module and changes the caller's dict before it
    # raises; the interrupted call must neither crash nor see the change.
    args = list(RUNAWAY)
    args[4] = dict(RUNAWAY[4])

    def handler(signum, frame):
        assert core.resolve_model("{{ a }}", "m", "s", "view", {"a": "1"}, {}).resolved_sql == "1"
        args[4].clear()
        args[4]["x"] = "y" * 1000
        raise Stop

    alarm(handler)
    with pytest.raises(Stop):
        core.resolve_model(*args)
    assert args[4] == {"x": "y" * 1000}
    assert core.resolve_model("{{ a }}", "m", "s", "view", {"a": "2"}, {}).resolved_sql == "2"


CHAIN = 300_000  # long enough for several checks, whatever the budget left over


@pytest.fixture(scope="module")
def chain():
    raw = [(f"m{i}", f"select * from ref('m{i - 1}')" if i else "select 1") for i in range(CHAIN)]
    dag, _, models, _ = core.build_pipeline(raw, [])
    return dag, models


@pytest.mark.parametrize(
    "fn, args",
    [
        (core.build_dag, lambda dag, models: (models,)),
        (core.validate_dag, lambda dag, models: (dag, models, [])),
        (core.topo_sort, lambda dag, models: (dag,)),
        (core.select_models, lambda dag, models: (dag, "m0+")),
        (core.select_models, lambda dag, models: (dag, f"+m{CHAIN - 1}")),
        (core.select_models, lambda dag, models: (dag, "m/*")),
    ],
    ids=["build", "validate", "sort", "downstream", "upstream", "prefix"],
)
def test_graph_walks_stop_inside_the_call(alarm, chain, fn, args):
    # A profiler tells where the handler ran: between the call's start and its
    # exception, or only at its return (a profile callback is Python code,
    # where a pending signal is handled). A signal that came before the call
    # started, on a busy machine, is tried again.
    dag, models = chain
    args = args(dag, models)
    events = []

    def profile(frame, event, arg):
        if arg is fn:
            events.append(event)

    def handler(signum, frame):
        events.append("signal")
        assert core.parse_sql("select 1").body == "select 1"  # the module, re-entered
        raise Stop

    alarm(handler, 1000)
    for _ in range(5):
        events.clear()
        sys.setprofile(profile)
        try:
            with pytest.raises(Stop):
                signal.setitimer(signal.ITIMER_REAL, 1e-4)
                fn(*args)
        finally:
            sys.setprofile(None)
        if events[0] == "c_call":
            break
    assert events == ["c_call", "signal", "c_exception"]
    assert core.select_models(dag, f"m{CHAIN - 3}+") == [f"m{CHAIN - 3}", f"m{CHAIN - 2}", f"m{CHAIN - 1}"]


def _suggestion_heavy():
    # Every name a permutation of the same letters: no bound rules a candidate
    # out, so every missing ref is scored against every model, for seconds.
    rnd = random.Random(5)
    letters = list("abcdefghijkl")

    def perm():
        rnd.shuffle(letters)
        return "".join(letters)

    return [(perm(), f"select * from ref('{perm()}')") for _ in range(20_000)], []


LONG_CALLS = {"suggestions": (core.build_pipeline, _suggestion_heavy)}


@pytest.mark.parametrize("kind", sorted(LONG_CALLS))
def test_signals_are_handled_during_a_long_call(alarm, kind):
    # A ticking timer whose handler raises only on its third run: signals
    # that arrive while the call runs collapse into one unless the call
    # itself lets the handler run.
    call, make_args = LONG_CALLS[kind]
    args = make_args()
    ticks = []

    def handler(signum, frame):
        # Meanwhile the module is called again and the caller's list emptied,
        # which the running call must not notice.
        ticks.append(signum)
        if len(ticks) == 1:
            small = [("ab", "select 1"), ("c", "select * from ref('abb')")]
            assert core.build_pipeline(small, [])[3][0].suggestion == "ab"
            args[0].clear()
        if len(ticks) == 3:
            signal.setitimer(signal.ITIMER_REAL, 0)
            raise Stop

    alarm(handler, 0.05)
    signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
    with pytest.raises(Stop):
        call(*args)
    assert args[0] == []
