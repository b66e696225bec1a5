"""Checks every test of every folder gets: whatever engine stand-in it made kept the exchange protocol."""

import pytest

from stand_ins import take_protocol_faults


@pytest.fixture(autouse=True)
def _services_keep_protocol():
    take_protocol_faults()
    yield
    faults = take_protocol_faults()
    assert not faults, f"the module broke the exchange protocol: {faults}"
