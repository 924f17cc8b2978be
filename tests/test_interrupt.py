"""Long calls stop on a signal with the exception its handler raised, and
leave nothing broken behind: the module is still usable, the caller's
arguments unchanged."""
import signal

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
