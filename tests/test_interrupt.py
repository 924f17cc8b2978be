"""Long calls stop on a signal with the exception its handler raised, and
leave nothing broken behind: the module is still usable, the caller's
arguments unchanged."""
import random
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
