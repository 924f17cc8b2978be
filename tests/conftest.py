import pytest

import tovik._core as core


@pytest.fixture
def c():
    return core
