"""Long calls stop on a signal with the exception its handler raised, and
leave nothing broken behind: the module is still usable, the caller's
arguments unchanged."""
import signal

import pytest

import tovik._core as core

RUNAWAY = ("{{ k-j }}", "m", "s", "view", {"k-j": "z{{ k-j }}"}, {})


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


def test_ctrl_c_stops_a_runaway_substitution(alarm, many_passes):
    alarm(signal.default_int_handler)
    with pytest.raises(KeyboardInterrupt):
        core.resolve_model(*RUNAWAY)


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
