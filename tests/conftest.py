"""What every test of every folder gets: a check that whatever engine stand-in it made kept the exchange
protocol, and the engine's class for fatal errors."""

import pytest

import zelmor_self_play
from stand_ins import ResultQueue, Service, take_protocol_faults, uniform_network


@pytest.fixture(autouse=True)
def _services_keep_protocol():
    take_protocol_faults()
    yield
    faults = take_protocol_faults()
    assert not faults, f"the module broke the exchange protocol: {faults}"


@pytest.fixture(scope="session")
def panic_exception() -> type:
    """The module's class for fatal errors (it is not a module attribute): taken from an unreadable config."""
    service = Service(uniform_network)
    try:
        zelmor_self_play.play_test_against_random(0, {}, ResultQueue(), service.inference_queue, service.pipe)
    except BaseException as e:  # noqa: BLE001 - the class is what we are after
        return type(e)
    pytest.fail("a dict config did not fail")
