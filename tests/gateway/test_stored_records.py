"""Every kind of bar record the module makes comes back from the bar store exactly."""

import pytest

from quorvane.gateway.bar_store import codec
from test_bar_table import CONTRACT, GATEWAY_CASES, YFINANCE_CASES, StandInGateway, command, printed, shape_of  # noqa: F401


def round_trip(records: list[dict]) -> list[dict]:
    return codec.decode("key", codec.encode("key", records, 0.0))


@pytest.mark.usefixtures("printed")
@pytest.mark.parametrize("make_bars", GATEWAY_CASES.values(), ids=GATEWAY_CASES.keys())
async def test_gateway_records(make_bars):
    records = (await command(StandInGateway(make_bars()))._intraday(CONTRACT))["bars"]
    assert shape_of(round_trip(records)) == shape_of(records)


@pytest.mark.usefixtures("printed")
@pytest.mark.parametrize("make_hist", YFINANCE_CASES.values(), ids=YFINANCE_CASES.keys())
async def test_yfinance_records(fake_yf, make_hist):
    fake_yf.respond_with(make_hist())
    records = (await command()._intraday_yfinance())["bars"]
    assert shape_of(round_trip(records)) == shape_of(records)
