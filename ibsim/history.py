"""Answers to historical-data requests (msg 20): refusals and synthetic bars."""

import datetime as dt
from dataclasses import dataclass, field
from zoneinfo import ZoneInfo

import numpy as np

from . import codes
from .bar_text import QUOTE_OFFSETS, BarText, RowFormat, day_label, time_label, time_labels
from .contracts import Listing, listing_today, resolve
from .market import EPOCH, MINUTE, Columns, PriceSeries, adjustment_factor, price_series
from .messages import HistoricalDataRequest
from .sessions import trade_dates
from .terms import BarSize, Duration, TermError, parse_bar_size, parse_duration, parse_end
from .universe import Universe

ADJUSTED = "ADJUSTED_LAST"
SUPPORTED_WHAT = {"TRADES", ADJUSTED, *QUOTE_OFFSETS}
# Far beyond what clients ask for ("1 Y" of "1 min" futures bars is about
# 360k); it keeps a "1 Y" of "1 secs" from eating the machine.
DEFAULT_MAX_BARS = 1_000_000


class Refusal(Exception):
    """The gateway answers the request with this error instead of bars."""

    def __init__(self, code: int, text: str):
        super().__init__(f"{code}: {text}")
        self.code = code
        self.text = text


@dataclass
class HistoryAnswer:
    start: str
    end: str
    bars: BarText
    warnings: list[tuple[int, str]] = field(default_factory=list)


@dataclass(frozen=True)
class _Window:
    """What one request covers, in the exchange's wall time."""

    listing: Listing
    use_rth: bool
    what_to_show: str
    today: dt.date  # the exchange's date now: adjustments count up to it
    local_end: dt.datetime
    local_start: dt.datetime | None  # set for "N S" durations only
    dates: list[dt.date]
    bar_zone: str | None  # zone of intraday bar times; None: the exchange's

    @property
    def hours(self):
        return self.listing.hours

    def start_label(self) -> str:
        start = self.local_start
        if start is None:
            start = self.hours.bounds(self.dates[0], self.use_rth)[0] if self.dates else self.local_end
        return time_label(start, self.hours.zone)

    def adjustment(self, day: dt.date) -> float:
        if self.what_to_show != ADJUSTED:
            return 1.0
        return adjustment_factor(self.listing.market.adjustment, day, self.today)

    def seconds_from_midnight(self, day: dt.date, moment: dt.datetime) -> float:
        return (moment - dt.datetime.combine(day, dt.time())).total_seconds()


class HistoricalDataDesk:
    """Turns a decoded msg-20 request into the gateway's answer."""

    def __init__(
        self, universe: Universe, seed: int, operator_zone: str, max_bars: int, bar_zone: str | None
    ):
        self.universe = universe
        self.seed = seed
        self.operator_zone = operator_zone
        self.max_bars = max_bars
        self.bar_zone = bar_zone

    def listing(self, req: HistoricalDataRequest, today: dt.date) -> Listing:
        listing = resolve(self.universe, req.contract, req.includeExpired, today)
        if listing is None:
            raise Refusal(codes.NO_SECURITY_DEFINITION, codes.NO_SECURITY_DEFINITION_TEXT)
        return listing

    def answer(self, req: HistoricalDataRequest, now: dt.datetime) -> HistoryAnswer:
        """Bars for `req` as of `now` (aware); raises Refusal where the gateway refuses."""
        listing = self.listing(req, listing_today(now))
        bar_size, duration = _terms(req)
        _refuse_end_date(req, listing)
        try:
            end = parse_end(req.endDateTime, now, self.operator_zone)
        except TermError:
            raise Refusal(codes.BAD_END_DATE, codes.BAD_END_DATE_TEXT) from None
        warnings = []
        if end.implied_zone:
            warnings.append((codes.IMPLIED_ZONE_WARNING, codes.IMPLIED_ZONE_WARNING_TEXT))
        window = _window(listing, req, min(end.moment, now), duration, now, self.bar_zone)
        series = price_series(listing.symbol, listing.market, listing.hours, self.seed)
        if bar_size.calendar:
            labels, bars = _calendar_bars(series, window, bar_size.calendar)
        else:
            _check_size(window, bar_size.seconds, self.max_bars)
            labels, bars = _intraday_bars(series, window, bar_size.seconds, req.formatDate)
        if not labels:
            raise Refusal(codes.HMDS_ERROR, codes.no_data_text(listing.query_text(req.whatToShow)))
        fmt = RowFormat(listing.market.tick, listing.market.trade_size, req.whatToShow)
        end_label = time_label(window.local_end, listing.hours.zone)
        return HistoryAnswer(window.start_label(), end_label, fmt.text(labels, bars), warnings)


def _terms(req: HistoricalDataRequest) -> tuple[BarSize, Duration]:
    try:
        bar_size = parse_bar_size(req.barSizeSetting)
        duration = parse_duration(req.durationStr)
    except TermError as exc:
        raise Refusal(codes.HMDS_ERROR, codes.hmds(str(exc))) from None
    if req.whatToShow not in SUPPORTED_WHAT:
        raise Refusal(codes.HMDS_ERROR, codes.hmds(f"Unsupported whatToShow: {req.whatToShow}"))
    return bar_size, duration


def _refuse_end_date(req: HistoricalDataRequest, listing: Listing) -> None:
    """The gateway refuses any explicit end for continuous futures and adjusted data."""
    if req.endDateTime and listing.secType == "CONTFUT":
        raise Refusal(codes.CONTFUT_END_DATE, codes.CONTFUT_END_DATE_TEXT)
    if req.endDateTime and req.whatToShow == ADJUSTED:
        raise Refusal(codes.HMDS_ERROR, codes.ADJUSTED_LAST_END_TEXT)


def _window(listing, req, end: dt.datetime, duration: Duration, now: dt.datetime, bar_zone) -> _Window:
    hours, use_rth = listing.hours, req.useRTH
    local_end = hours.local(end)
    anchor = hours.latest_session(local_end, use_rth)
    if duration.unit == "S":
        local_start = local_end - dt.timedelta(seconds=duration.count)
        first = hours.latest_session(local_start, use_rth)
    else:
        # Calendar durations count back from the latest session that has opened,
        # so "1 D" before the bell is the previous session.
        local_start, first = None, duration.first_date(anchor)
    today = hours.local(now).date()
    dates = trade_dates(max(first, EPOCH), anchor)
    return _Window(listing, use_rth, req.whatToShow, today, local_end, local_start, dates, bar_zone)


def _session_bars(series: PriceSeries, window: _Window, day: dt.date, step: int, until: dt.datetime):
    """(start seconds from local midnight, bars) of one session's `step`-second bars
    that start before `until`; the last one holds only what happened by then."""
    base_step = min(step, MINUTE)
    base = series.minutes(day) if base_step == MINUTE else series.seconds(day, base_step)
    if base is None:
        return None
    first = window.hours.extended[0]
    start, end = window.hours.span(window.use_rth)
    starts = np.arange(start, end, base_step)
    starts = starts[starts < window.seconds_from_midnight(day, until)]
    offset = (start - first) // base_step
    base = base.take(slice(offset, offset + len(starts)))
    if step == base_step or not len(starts):
        return starts, base
    # Bars are aligned to multiples of their size from midnight; the first starts at the bell.
    group_starts = np.flatnonzero((starts % step == 0) | (np.arange(len(starts)) == 0))
    return starts[group_starts], base.grouped(group_starts)


def _check_size(window: _Window, step: int, max_bars: int) -> None:
    start, end = window.hours.span(window.use_rth)
    if ((end - start) // step + 1) * len(window.dates) > max_bars:
        raise Refusal(codes.HMDS_ERROR, codes.TIME_LENGTH_TEXT)


def _intraday_bars(series: PriceSeries, window: _Window, step: int, format_date: int):
    labels, parts = [], []
    for day in window.dates:
        session = _session_bars(series, window, day, step, window.local_end)
        if session is None:
            continue
        starts, bars = session
        if window.local_start is not None:
            keep = starts >= window.seconds_from_midnight(day, window.local_start)
            starts, bars = starts[keep], bars.take(keep)
        labels += _labels(window, day, starts.tolist(), format_date)
        parts.append(bars.scaled(window.adjustment(day)))
    return labels, Columns.concat(parts)


def _labels(window: _Window, day: dt.date, seconds: list[int], format_date: int) -> list[str]:
    if format_date != 2 and window.bar_zone is None:
        return time_labels(day, seconds, window.hours.zone)
    # Epoch seconds: no session spans a daylight-saving switch, so offsets add up.
    session_open = window.hours.bounds(day, window.use_rth)[0]
    base = int(session_open.replace(tzinfo=window.hours.tzinfo).timestamp())
    first = int(window.seconds_from_midnight(day, session_open))
    epochs = [base + s - first for s in seconds]
    if format_date == 2:
        return [str(e) for e in epochs]
    zone = ZoneInfo(window.bar_zone)
    return [time_label(dt.datetime.fromtimestamp(e, zone), window.bar_zone) for e in epochs]


def _calendar_bars(series: PriceSeries, window: _Window, unit: str):
    days, parts = [], []
    for day in window.dates:
        bar = _day_bar(series, window, day)
        if bar is not None:
            days.append(day)
            parts.append(bar.scaled(window.adjustment(day)))
    bars = Columns.concat(parts)
    if unit == "day" or not days:
        return [day_label(day) for day in days], bars
    # Weekly and monthly bars are dated with their last trade date, as IBKR does.
    period = [_week_of(d) if unit == "week" else _month_of(d) for d in days]
    group_starts = np.array([i for i in range(len(days)) if i == 0 or period[i] != period[i - 1]])
    last_days = [days[i - 1] for i in group_starts[1:]] + [days[-1]]
    return [day_label(d) for d in last_days], bars.grouped(group_starts)


def _day_bar(series: PriceSeries, window: _Window, day: dt.date) -> Columns | None:
    if window.local_end >= window.hours.bounds(day, window.use_rth)[1]:
        return series.day_bar(day, window.use_rth)
    # The session is still running: its bar so far sums up its minutes.
    session = _session_bars(series, window, day, MINUTE, window.local_end)
    if session is None or not len(session[0]):
        return None
    return session[1].grouped(np.array([0]))


def _week_of(day: dt.date):
    return day.isocalendar()[:2]


def _month_of(day: dt.date):
    return day.year, day.month
