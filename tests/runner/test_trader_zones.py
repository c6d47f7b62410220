"""A trader east of New York, on a gateway set to its operator's zone and to UTC bar times, gets the
bars of New York: the range's last day whole, times in the exchange's zone."""

import json

LINE = ("kline", "AAPL", "2025-06-09", "2025-06-12", "30m", "--sim", "--json")


def test_a_host_in_tokyo_on_a_gateway_sending_utc_gets_new_yorks_bars(cli):
    runs = [
        cli(*LINE, env={"TZ": tz, "IBSIM_ARGS": settings, "KLINE_CACHE_URL": "memory:"})
        for tz, settings in [("America/New_York", ""), ("Asia/Tokyo", "--operator-zone Asia/Tokyo --bar-times utc")]
    ]
    assert [run.returncode for run in runs] == [0, 0], runs[1].stderr
    new_york, tokyo = (json.loads(run.stdout) for run in runs)
    assert tokyo == new_york
    assert len(tokyo["bars"]) == 4 * 13 and tokyo["bars"][-1]["date"] == "2025-06-12T15:30:00"
    assert "kline AAPL: 52 bars (ibkr), times in US/Eastern" in runs[1].stderr
