"""Simulator settings written as words, as $IBSIM_ARGS gives them to the host's --sim."""

import pytest

from ibsim import GatewaySimulator
from ibsim.options import options_from_text
from ibsim.timing import NO_LATENCY


def test_words_become_simulator_options():
    options = options_from_text("--no-pacing --no-latency --seed 7 --scenario nightly-reset")
    assert (options["pacing"], options["latency"], options["seed"]) == (False, NO_LATENCY, 7)
    assert GatewaySimulator(**options).scenario.name == "nightly-reset"


@pytest.mark.parametrize("text", ["--bogus", "--seed x", "'unclosed", "--scenario sunny"])
def test_a_bad_setting_is_a_value_error(text):
    with pytest.raises(ValueError, match="IBSIM_ARGS"):
        options_from_text(text)
