"""Simulator settings written as words, as $IBSIM_ARGS gives them to the host's --sim."""

import pytest

from ibsim import GatewaySimulator
from ibsim.options import options_from_text
from ibsim.timing import NO_LATENCY, Latency


def test_words_become_simulator_options():
    options = options_from_text(
        "--no-pacing --no-latency --seed 7 --operator-zone Asia/Tokyo --bar-times utc"
        " --scenario nightly-reset --serving 2"
    )
    assert (options["pacing"], options["latency"], options["seed"], options["serving"]) == (False, NO_LATENCY, 7, 2)
    assert (options["operator_zone"], options["bar_times"]) == ("Asia/Tokyo", "utc")
    assert GatewaySimulator(**options).scenario.name == "nightly-reset"
    assert options_from_text("--latency 0.5,0.002")["latency"] == Latency(0.5, 0.002)
    assert options_from_text("")["latency"] == Latency(0.2, 0.001)


@pytest.mark.parametrize(
    "text",
    [
        "--bogus",
        "--seed x",
        "'unclosed",
        "--operator-zone Mars/Olympus",
        "--operator-zone America",
        "--bar-times local",
        "--scenario sunny",
        "--latency 1",
        "--latency a,b",
        "--latency -1,0",
        "--serving 0",
    ],
)
def test_a_bad_setting_is_a_value_error(text):
    with pytest.raises(ValueError, match="IBSIM_ARGS"):
        options_from_text(text)
