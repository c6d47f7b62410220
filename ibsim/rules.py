"""Requests the gateway refuses before it looks for data, each with a switchable answer.

The order of the checks follows the gateway's layers: the request's own terms
first (321 and friends), then the contract (200), then what the contract type
allows (10339).
"""

from dataclasses import dataclass

from . import codes
from .bar_text import QUOTE_OFFSETS
from .messages import HistoricalDataRequest
from .terms import (
    LEGAL_BAR_SIZES,
    BarSize,
    Duration,
    TermError,
    over_step_limit,
    over_unit_limit,
    parse_bar_size,
    parse_duration,
)

ADJUSTED = "ADJUSTED_LAST"
SUPPORTED_WHAT = {"TRADES", ADJUSTED, *QUOTE_OFFSETS}


class Refusal(Exception):
    """The gateway answers the request with this error instead of bars."""

    def __init__(self, code: int, text: str):
        super().__init__(f"{code}: {text}")
        self.code = code
        self.text = text


@dataclass(frozen=True)
class Refusals:
    """The code each refusal is sent with; None serves the request instead.

    The defaults are a real gateway's answers. A test that wants the other
    answer replaces a field: Refusals(adjusted_last_end=162) ends the request
    at once, Refusals(duration_limit=None) serves "400 D".
    """

    invalid_bar_size: int = codes.VALIDATION_ERROR  # an unknown bar size cannot be served
    duration_limit: int | None = codes.VALIDATION_ERROR  # over 86400 S, 365 D, 52 W, 12 M, 68 Y
    step_limit: int | None = codes.HMDS_ERROR  # "1 secs" bars beyond 2000 S
    adjusted_last_end: int | None = codes.VALIDATION_ERROR
    adjusted_last_multi_day: int | None = codes.VALIDATION_ERROR  # weekly and monthly bars
    live_updates_end: int | None = codes.VALIDATION_ERROR  # keepUpToDate with an end date
    continuous_future_end: int | None = codes.CONTFUT_END_DATE

    def __post_init__(self):
        if not isinstance(self.invalid_bar_size, int):
            raise TypeError("an unknown bar size cannot be served: invalid_bar_size needs a code")


@dataclass(frozen=True)
class Terms:
    bar_size: BarSize
    duration: Duration


def validate(req: HistoricalDataRequest, refusals: Refusals) -> Terms:
    """The request's bar size and duration, or the Refusal the gateway answers it with."""
    try:
        bar_size = parse_bar_size(req.barSizeSetting)
    except TermError:
        raise Refusal(refusals.invalid_bar_size, codes.invalid_bar_size_text(LEGAL_BAR_SIZES)) from None
    try:
        duration = parse_duration(req.durationStr)
    except TermError as exc:
        raise Refusal(codes.HMDS_ERROR, codes.hmds(str(exc))) from None
    if req.whatToShow not in SUPPORTED_WHAT:
        raise Refusal(codes.HMDS_ERROR, codes.hmds(f"Unsupported whatToShow: {req.whatToShow}"))
    checks = (
        (refusals.duration_limit, over_unit_limit(duration), codes.duration_limit_text(duration.unit)),
        (
            refusals.adjusted_last_end,
            req.whatToShow == ADJUSTED and bool(req.endDateTime),
            codes.ADJUSTED_LAST_END_TEXT,
        ),
        (
            refusals.adjusted_last_multi_day,
            req.whatToShow == ADJUSTED and bar_size.multi_day,
            codes.ADJUSTED_LAST_MULTI_DAY_TEXT,
        ),
        (refusals.live_updates_end, req.keepUpToDate and bool(req.endDateTime), codes.LIVE_UPDATES_END_TEXT),
        (refusals.step_limit, over_step_limit(bar_size, duration), codes.invalid_step_text(bar_size.seconds)),
    )
    for code, broken, text in checks:
        if code is not None and broken:
            raise Refusal(code, text)
    return Terms(bar_size, duration)


def refuse_for_contract(req: HistoricalDataRequest, sec_type: str, refusals: Refusals) -> None:
    """What the resolved contract's type does not allow."""
    code = refusals.continuous_future_end
    if code is not None and sec_type == "CONTFUT" and req.endDateTime:
        raise Refusal(code, codes.CONTFUT_END_DATE_TEXT)
