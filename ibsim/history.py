"""Answers to historical-data requests (msg 20): refusals and synthetic bars."""

import datetime as dt
from dataclasses import astuple, dataclass, field

import numpy as np

from . import codes
from .bar_text import BarText, BarTimes, RowFormat, day_label, time_labels
from .contracts import Listing, listing_today, resolve
from .market import EPOCH, MINUTE, Columns, PriceSeries, adjustment_factor, price_series
from .messages import HistoricalDataRequest
from .rules import ADJUSTED, Refusal, Refusals, refuse_for_contract, validate
from .terms import TermError, parse_end
from .timing import Pacing
from .universe import Universe
from .windows import Piece, covered

# Far beyond what clients ask for ("1 Y" of "1 min" futures bars is about
# 360k); it keeps a "1 Y" of "5 secs" from eating the machine.
DEFAULT_MAX_BARS = 1_000_000


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
    pieces: list[Piece]
    bar_times: BarTimes

    @property
    def hours(self):
        return self.listing.hours

    def label(self, local: dt.datetime) -> str:
        """A wall time of the exchange as the gateway writes times."""
        return self.bar_times.label(local.replace(tzinfo=self.hours.tzinfo), self.hours.zone)

    def start_label(self) -> str:
        start = self.pieces[0].session.at(self.pieces[0].start) if self.pieces else self.local_end
        return self.label(start)

    def adjustment(self, day: dt.date) -> float:
        if self.what_to_show != ADJUSTED:
            return 1.0
        return adjustment_factor(self.listing.market.adjustment, day, self.today)


class HistoricalDataDesk:
    """Turns a decoded msg-20 request into the gateway's answer."""

    def __init__(
        self,
        universe: Universe,
        seed: int,
        bar_times: BarTimes,
        max_bars: int,
        refusals: Refusals = Refusals(),
        pacing: Pacing | None = None,
    ):
        self.universe = universe
        self.seed = seed
        self.bar_times = bar_times
        self.max_bars = max_bars
        self.refusals = refusals
        self.pacing = pacing

    def listing(self, req: HistoricalDataRequest, today: dt.date) -> Listing:
        """The one contract a request names; a future without expiry names several."""
        listings = resolve(self.universe, req.contract, req.includeExpired, today)
        if not listings:
            raise Refusal(codes.NO_SECURITY_DEFINITION, codes.NO_SECURITY_DEFINITION_TEXT)
        if len(listings) > 1:
            raise Refusal(codes.NO_SECURITY_DEFINITION, codes.ambiguous_text(listings[0].symbol))
        return listings[0]

    def answer(self, req: HistoricalDataRequest, now: dt.datetime) -> HistoryAnswer:
        """Bars for `req` as of `now` (aware); raises Refusal where the gateway refuses."""
        terms = validate(req, self.refusals)
        try:
            end = parse_end(req.endDateTime, now, self.bar_times.operator_zone)
        except TermError:
            raise Refusal(codes.BAD_END_DATE, codes.BAD_END_DATE_TEXT) from None
        listing = self.listing(req, listing_today(now))
        refuse_for_contract(req, listing.secType, self.refusals)
        if not terms.bar_size.calendar and terms.bar_size.seconds <= Pacing.SMALL_BAR_SECONDS:
            self._pace(req, listing)
        warnings = []
        if end.implied_zone:
            warnings.append((codes.IMPLIED_ZONE_WARNING, codes.IMPLIED_ZONE_WARNING_TEXT))
        hours = listing.hours
        local_end = hours.local(min(end.moment, now))
        whole_sessions = bool(terms.bar_size.calendar)
        pieces = covered(hours, req.useRTH, local_end, terms.duration, whole_sessions)
        pieces = [p for p in pieces if p.session.day >= EPOCH]
        today = hours.local(now).date()
        window = _Window(listing, req.useRTH, req.whatToShow, today, local_end, pieces, self.bar_times)
        series = price_series(listing.symbol, listing.market, hours, self.seed)
        if whole_sessions:
            labels, bars = _calendar_bars(series, window, terms.bar_size.calendar)
        else:
            _check_size(window, terms.bar_size.seconds, self.max_bars)
            labels, bars = _intraday_bars(series, window, terms.bar_size.seconds, req.formatDate)
        if not labels:
            raise Refusal(codes.HMDS_ERROR, codes.no_data_text(listing.query_text(req.whatToShow)))
        fmt = RowFormat(listing.market.tick, listing.market.trade_size, req.whatToShow)
        return HistoryAnswer(window.start_label(), window.label(local_end), fmt.text(labels, bars), warnings)

    def _pace(self, req: HistoricalDataRequest, listing: Listing) -> None:
        if self.pacing is None:
            return
        identical = (
            astuple(req.contract),
            req.endDateTime,
            req.barSizeSetting,
            req.durationStr,
            req.useRTH,
            req.whatToShow,
            req.formatDate,
            req.keepUpToDate,
            req.chartOptions,
        )
        contract = (listing.secType, listing.localSymbol, listing.exchange, req.whatToShow)
        weight = 2 if req.whatToShow == "BID_ASK" else 1
        if not self.pacing.admit(identical, contract, weight):
            raise Refusal(codes.HMDS_ERROR, codes.PACING_VIOLATION_TEXT)


def _session_bars(series: PriceSeries, window: _Window, piece: Piece, step: int):
    """(start seconds from local midnight, bars) of one session's `step`-second bars
    that start within `piece`; the last one holds only what happened by its end."""
    session = piece.session
    base_step = min(step, MINUTE)
    base = series.minutes(session.day) if base_step == MINUTE else series.seconds(session.day, base_step)
    if base is None:
        return None
    starts = np.arange(session.open, session.close, base_step)
    starts = starts[starts < piece.end]
    offset = (session.open - window.hours.extended[0]) // base_step
    base = base.take(slice(offset, offset + len(starts)))
    if step != base_step and len(starts):
        # Bars are aligned to multiples of their size from midnight; the first starts at the bell.
        group_starts = np.flatnonzero((starts % step == 0) | (np.arange(len(starts)) == 0))
        starts, base = starts[group_starts], base.grouped(group_starts)
    keep = starts >= piece.start
    return starts[keep], base.take(keep)


def _check_size(window: _Window, step: int, max_bars: int) -> None:
    if sum(int(p.end - p.start) // step + 1 for p in window.pieces) > max_bars:
        raise Refusal(codes.HMDS_ERROR, codes.TIME_LENGTH_TEXT)


def _intraday_bars(series: PriceSeries, window: _Window, step: int, format_date: int):
    labels, parts = [], []
    for piece in window.pieces:
        bars = _session_bars(series, window, piece, step)
        if bars is None:
            continue
        starts, columns = bars
        labels += _labels(window, piece, starts.tolist(), format_date)
        parts.append(columns.scaled(window.adjustment(piece.session.day)))
    return labels, Columns.concat(parts)


def _labels(window: _Window, piece: Piece, seconds: list[int], format_date: int) -> list[str]:
    day = piece.session.day
    if format_date != 2 and window.bar_times.in_instrument_zone:
        return time_labels(day, seconds, window.hours.zone)
    # Epoch seconds: no session spans a daylight-saving switch, so offsets add up.
    session_open = piece.session.bounds()[0]
    base = int(session_open.replace(tzinfo=window.hours.tzinfo).timestamp()) - piece.session.open
    epochs = [base + s for s in seconds]
    if format_date == 2:
        return [str(e) for e in epochs]
    return window.bar_times.epoch_labels(epochs, window.hours.zone)


def _calendar_bars(series: PriceSeries, window: _Window, unit: str):
    days, parts = [], []
    for piece in window.pieces:
        bar = _day_bar(series, piece)
        if bar is not None:
            days.append(piece.session.day)
            parts.append(bar.scaled(window.adjustment(piece.session.day)))
    bars = Columns.concat(parts)
    if unit == "day" or not days:
        return [day_label(day) for day in days], bars
    # Weekly and monthly bars are dated with their last trade date, as IBKR does.
    period = [_week_of(d) if unit == "week" else _month_of(d) for d in days]
    group_starts = np.array([i for i in range(len(days)) if i == 0 or period[i] != period[i - 1]])
    last_days = [days[i - 1] for i in group_starts[1:]] + [days[-1]]
    return [day_label(d) for d in last_days], bars.grouped(group_starts)


def _day_bar(series: PriceSeries, piece: Piece) -> Columns | None:
    """The session's bar; a session still running sums up its minutes so far."""
    session = piece.session
    if piece.end >= session.close:
        return series.day_bar(session.day, session.open, session.close)
    return series.aggregate(session.day, session.open, piece.end)


def _week_of(day: dt.date):
    return day.isocalendar()[:2]


def _month_of(day: dt.date):
    return day.year, day.month
