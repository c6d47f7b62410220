"""The words of `kline <symbol> [period] [count] [adj]` and `kline <symbol> <start> [end] [period] [adj]`,
written once; each route's tests run them all."""

# alias -> the period word it asks as
ALIASES = {
    "minute": "1m",
    "hour": "1h",
    "d": "day",
    "1d": "day",
    "w": "week",
    "m": "month",
    "1mo": "month",
    "y": "year",
}

# case -> words, period word, count, adjustment word, whether the bars are adjusted
LATEST_WORDS = {
    "no-words": ([], "day", 250, "none", False),
    "period-count": (["day", "100"], "day", 100, "none", False),
    "period-count-adj": (["5m", "200", "adj"], "5m", 200, "adj", True),
    "count-alone": (["50"], "day", 50, "none", False),
    "adj-alone": (["adj"], "day", 250, "adj", True),
    "count-then-forward": (["100", "forward"], "day", 100, "forward", True),
    "forward-adjusts": (["forward"], "day", 250, "forward", True),
    "capitalised-adj-does-not": (["ADJ"], "day", 250, "ADJ", False),
    "unknown-adj-word": (["5m", "xyz"], "5m", 78, "xyz", False),
    "period-after-count-is-adj-word": (["200", "day"], "day", 200, "day", False),
    "capitalised-period-is-adj-word": (["Day"], "day", 250, "Day", False),
    "capitalised-intraday-is-adj-word": (["Intraday"], "day", 250, "Intraday", False),
    "further-words-ignored": (["day", "100", "adj", "5m"], "day", 100, "adj", True),
    "count-with-blanks-sign-underscore": (["1h", " +1_20 "], "1h", 120, "none", False),
    "1m-default": (["1m"], "1m", 120, "none", False),
    "1h-default-in-sessions": (["1h"], "1h", 130, "none", False),
    "week-default": (["week"], "week", 156, "none", False),
    "year-default": (["year"], "year", 120, "none", False),
    **{f"alias-{alias}": ([alias], alias, 100, "none", False) for alias in ALIASES},
}

# case -> words, start, end, period word, adjustment word, whether the bars are adjusted (today is 2025-06-13)
RANGE_WORDS = {
    "start-alone": (["2025-01-01"], "2025-01-01", "2025-06-13", "day", "none", False),
    "start-end-period-adj": (
        ["2025-01-01", "2025-06-01", "day", "adj"],
        "2025-01-01",
        "2025-06-01",
        "day",
        "adj",
        True,
    ),
    "period-without-end": (["2025-01-01", "week"], "2025-01-01", "2025-06-13", "week", "none", False),
    "weekly-bars": (["2025-01-01", "2025-06-01", "week"], "2025-01-01", "2025-06-01", "week", "none", False),
    "third-word-is-adj-word": (["2025-01-01", "2025-06-01", "foo"], "2025-01-01", "2025-06-01", "day", "foo", False),
    "date-after-period-is-adj-word": (
        ["2025-01-01", "day", "2025-06-01"],
        "2025-01-01",
        "2025-06-13",
        "day",
        "2025-06-01",
        False,
    ),
    "number-is-adj-word-not-count": (["2025-01-01", "day", "100"], "2025-01-01", "2025-06-13", "day", "100", False),
    "forward-then-ignored-word": (
        ["2025-01-01", "2025-06-01", "forward", "x"],
        "2025-01-01",
        "2025-06-01",
        "day",
        "forward",
        True,
    ),
    "alias-adjusted-then-ignored-word": (
        ["2025-01-01", "2025-06-01", "d", "adj", "extra"],
        "2025-01-01",
        "2025-06-01",
        "d",
        "adj",
        True,
    ),
    "capitalised-period-is-adj-word": (["2025-01-01", "Day"], "2025-01-01", "2025-06-13", "day", "Day", False),
    "one-day": (["2025-06-02", "2025-06-02"], "2025-06-02", "2025-06-02", "day", "none", False),
    "two-days": (["2025-03-03", "2025-03-04"], "2025-03-03", "2025-03-04", "day", "none", False),
    "365-days": (["2024-06-02", "2025-06-01"], "2024-06-02", "2025-06-01", "day", "none", False),
    "366-days": (["2024-06-01", "2025-06-01"], "2024-06-01", "2025-06-01", "day", "none", False),
    **{
        f"alias-{alias}": (["2025-01-01", "2025-06-01", alias], "2025-01-01", "2025-06-01", alias, "none", False)
        for alias in ALIASES
    },
}


def canonical(period: str) -> str:
    """The period word an alias asks as."""
    return ALIASES.get(period, period)
