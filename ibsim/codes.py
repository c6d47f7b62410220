"""Error codes and texts as the real gateway words them."""

NO_SECURITY_DEFINITION = 200
NO_SECURITY_DEFINITION_TEXT = "No security definition has been found for the request"


def ambiguous_text(symbol: str) -> str:
    return f"The contract description specified for {symbol} is ambiguous."


# 162 ends a historical request in ib_async. 321 is a warning there: a request
# refused with 321 stays pending until the client's timeout.
HMDS_ERROR = 162
HMDS_PREFIX = "Historical Market Data Service error message:"
VALIDATION_ERROR = 321


def validation_text(tag: str, cause: str) -> str:
    """e.g. "Error validating request.-'bK' : cause - Historical data bar size setting is invalid..."."""
    return f"Error validating request.-'{tag}' : cause - {cause}"


def invalid_bar_size_text(legal: tuple[str, ...]) -> str:
    return validation_text("bK", "Historical data bar size setting is invalid. Legal ones are: " + ", ".join(legal))


_DURATION_CAUSES = {
    "S": "Historical data requests for durations greater than 86400 seconds must be made in days.",
    "D": "Historical data requests for durations longer than 365 days must be made in years.",
    "W": "Historical data requests for durations longer than 52 weeks must be made in years.",
    "M": "Historical data requests for durations longer than 12 months must be made in years.",
    "Y": "Historical data requests for durations longer than 68 years are not supported.",
}


def duration_limit_text(unit: str) -> str:
    return validation_text("bH", _DURATION_CAUSES[unit])


ADJUSTED_LAST_END_TEXT = validation_text("bM", "End date not supported with adjusted last")
ADJUSTED_LAST_MULTI_DAY_TEXT = validation_text("bM", "Multi day bar size not supported with adjusted last")
LIVE_UPDATES_END_TEXT = validation_text("bM", "End date not supported with live updates")

PROCESSING_ERROR = 322
TOO_MANY_OPEN_TEXT = "Error processing request:Only 50 simultaneous API historical data requests"

NO_HISTORICAL_QUERY = 366
CONTFUT_END_DATE = 10339
CONTFUT_END_DATE_TEXT = "Setting end date/time for continuous future security type is not allowed."
BAD_END_DATE = 10314
BAD_END_DATE_TEXT = (
    "End Date/Time: The date, time, or time-zone entered is invalid. The correct format"
    " is yyyymmdd hh:mm:ss xx/xxxx where yyyymmdd and xx/xxxx are optional. E.g.:"
    " 20031126 15:59:00 US/Eastern  Note that there is a space between the date and"
    " time, and between the time and time-zone.  If no date is specified, current date"
    " is assumed. If no time-zone is specified, local time-zone is assumed(deprecated)."
    "  You can also provide yyyymmddd-hh:mm:ss time is in UTC. Note that there is a dash"
    " between the date and time in UTC notation."
)
IMPLIED_ZONE_WARNING = 2174
IMPLIED_ZONE_WARNING_TEXT = (
    "Warning: You submitted request with date-time attributes without explicit time"
    " zone. Please switch to use yyyymmdd-hh:mm:ss in UTC or use instrument time zone,"
    " like US/Eastern. Implied time zone functionality will be removed in the next API"
    " release"
)

# Farm notices a freshly connected gateway sends with reqId -1.
FARM_NOTICES = (
    (2104, "Market data farm connection is OK:usfarm"),
    (2106, "HMDS data farm connection is OK:ushmds"),
    (2158, "Sec-def data farm connection is OK:secdefil"),
)


def hmds(text: str) -> str:
    return HMDS_PREFIX + text


PACING_VIOLATION_TEXT = hmds("Historical data request pacing violation")
TIME_LENGTH_TEXT = hmds("Time length exceed max.")


def invalid_step_text(bar_seconds: int) -> str:
    return hmds(f"invalid step: {bar_seconds}")


def no_data_text(query: str) -> str:
    """e.g. "...:HMDS query returned no data: ESM3@CME Trades"."""
    return hmds(f"HMDS query returned no data: {query}")


def cancelled_text(req_id: int) -> str:
    return hmds(f"API historical data query cancelled: {req_id}")


def no_query_text(req_id: int) -> str:
    return f"No historical data query found for ticker id:{req_id}"
