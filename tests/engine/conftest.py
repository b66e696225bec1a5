"""Fixtures of the engine's tests."""

import pytest

import zelmor_self_play
from stand_ins import ResultQueue, Service, uniform_network


@pytest.fixture(scope="session")
def panic_exception() -> type:
    """The module's class for fatal errors (it is not a module attribute): taken from an unreadable config."""
    service = Service(uniform_network)
    try:
        zelmor_self_play.play_test_against_random(0, {}, ResultQueue(), service.inference_queue, service.pipe)
    except BaseException as e:  # noqa: BLE001 - the class is what we are after
        return type(e)
    pytest.fail("a dict config did not fail")
