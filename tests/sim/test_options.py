"""Simulator settings written as words, as $IBSIM_ARGS gives them to the host's --sim."""

import pytest

from ibsim import GatewaySimulator
from ibsim.options import options_from_text
from ibsim.timing import NO_LATENCY


def test_words_become_simulator_options():
    options = options_from_text("--no-pacing --no-latency --seed 7 --operator-zone Asia/Tokyo --bar-times utc"
                                " --scenario nightly-reset")  # fmt: skip
    assert (options["pacing"], options["latency"], options["seed"]) == (False, NO_LATENCY, 7)
    assert (options["operator_zone"], options["bar_times"]) == ("Asia/Tokyo", "utc")
    assert GatewaySimulator(**options).scenario.name == "nightly-reset"


@pytest.mark.parametrize("text", ["--bogus", "--seed x", "'unclosed", "--operator-zone Mars/Olympus",
                                  "--operator-zone America", "--bar-times local", "--scenario sunny"])
def test_a_bad_setting_is_a_value_error(text):
    with pytest.raises(ValueError, match="IBSIM_ARGS"):
        options_from_text(text)
