"""The instruments the simulated gateway knows, with their market parameters."""

from dataclasses import dataclass, field

from .sessions import CME_HOURS, COMEX_HOURS, NYMEX_HOURS, US_INDEX_HOURS, US_STOCK_HOURS, TradingHours


@dataclass(frozen=True)
class MarketParams:
    """What the synthetic price series of an instrument looks like."""

    price: float  # level the random walk reverts to
    volatility: float  # annualised
    daily_volume: float  # shares or contracts in a typical session
    trade_size: float  # average size of one trade, for barCount
    tick: float  # prices are whole ticks
    # Fraction taken off older prices at each quarterly adjustment event
    # (dividends for stocks, roll gaps for continuous futures); only
    # ADJUSTED_LAST applies it.
    adjustment: float


@dataclass(frozen=True)
class StockSpec:
    symbol: str
    conId: int
    primaryExchange: str
    longName: str
    market: MarketParams
    isin: str = ""
    currency: str = "USD"
    tradingClass: str = ""  # defaults to "NMS" on NASDAQ, else the primary exchange
    industry: str = ""
    category: str = ""
    stockType: str = "COMMON"
    hours: TradingHours = US_STOCK_HOURS
    exchanges: tuple[str, ...] = ("SMART", "NYSE", "NASDAQ", "ARCA", "BATS", "IEX")

    secType = "STK"

    @property
    def trading_class(self) -> str:
        if self.tradingClass:
            return self.tradingClass
        return "NMS" if self.primaryExchange == "NASDAQ" else self.primaryExchange


@dataclass(frozen=True)
class IndexSpec(StockSpec):
    """An index (SPX on CBOE): described and charted like a stock, but not traded, so it is
    found only as secType IND on its own exchange (its primaryExchange)."""

    secType = "IND"


@dataclass(frozen=True)
class FutureSpec:
    """A futures root (ES, CL...); its listed months are derived from the calendar."""

    symbol: str
    exchange: str
    longName: str
    multiplier: str
    market: MarketParams
    conIdBase: int  # month contracts get conIdBase + months since 2000
    underConId: int
    months: str = "HMUZ"  # month codes that are listed
    expiry: str = "third_friday"  # "energy" or "metals": see expiries.last_trade_date
    expiryTime: str = "08:30:00"  # local time of the last trade on expiry day
    currency: str = "USD"
    hours: TradingHours = CME_HOURS
    # Whose business days the expiry rule counts: index futures settle on the
    # opening prices of the index's stocks, so they follow the stock exchange.
    settlement_hours: TradingHours | None = US_STOCK_HOURS  # None: the root's own hours
    open_months: int = 5  # months listed at any time, counted from the front month
    underSecType: str = "IND"
    marketRuleIds: str = "67"

    secType = "FUT"


def _stock(symbol, con_id, primary, name, price, volatility, volume, **extra):
    market = MarketParams(price, volatility, volume, 120.0, 0.01, extra.pop("dividend", 0.004))
    return StockSpec(symbol, con_id, primary, name, market, **extra)


# Tables of instruments, one a line.
# fmt: off
DEFAULT_STOCKS = (
    _stock("AAPL", 265598, "NASDAQ", "APPLE INC", 210.0, 0.28, 55e6,
           isin="US0378331005", industry="Technology", category="Computers"),
    _stock("MSFT", 272093, "NASDAQ", "MICROSOFT CORP", 420.0, 0.24, 22e6,
           isin="US5949181045", industry="Technology", category="Software"),
    _stock("SPY", 756733, "ARCA", "SPDR S&P 500 ETF TRUST", 560.0, 0.16, 60e6,
           isin="US78462F1030", stockType="ETF", dividend=0.0032),
    _stock("TSLA", 76792991, "NASDAQ", "TESLA INC", 250.0, 0.55, 95e6,
           isin="US88160R1014", industry="Consumer, Cyclical", category="Auto Manufacturers",
           dividend=0.0),
    _stock("NVDA", 4815747, "NASDAQ", "NVIDIA CORP", 130.0, 0.50, 250e6,
           isin="US67066G1040", industry="Technology", category="Semiconductors",
           dividend=0.0002),
    _stock("QQQ", 320227571, "NASDAQ", "INVESCO QQQ TRUST SERIES 1", 480.0, 0.20, 40e6,
           isin="US46090E1038", stockType="ETF", dividend=0.0015),
)
# fmt: on

# A class share: the gateway writes the class after a blank.
# Tables of instruments, one a line.
# fmt: off
CLASS_SHARES = (
    _stock("BRK B", 72063691, "NYSE", "BERKSHIRE HATHAWAY INC-CL B", 470.0, 0.18, 4e6,
           isin="US0846707026", industry="Financial", category="Insurance", tradingClass="BRK B",
           dividend=0.0),
)
# fmt: on


def _index(symbol, con_id, exchange, name, price, volatility):
    market = MarketParams(price, volatility, 2e9, 1.0, 0.01, 0.0)
    return IndexSpec(
        symbol,
        con_id,
        exchange,
        name,
        market,
        stockType="",
        tradingClass=symbol,
        hours=US_INDEX_HOURS,
        exchanges=(exchange,),
    )


# Tables of instruments, one a line.
# fmt: off
DEFAULT_INDICES = (
    _index("SPX", 416904, "CBOE", "S&P 500 Stock Index", 5800.0, 0.16),
    _index("NDX", 416843, "NASDAQ", "NASDAQ 100 Stock Index", 20500.0, 0.22),
    _index("INDU", 1935181, "CME", "Dow Jones Industrial Average", 42000.0, 0.15),
    _index("RUT", 416888, "RUSSELL", "Russell 2000 Stock Index", 2200.0, 0.22),
    _index("VIX", 13455763, "CBOE", "CBOE Volatility Index", 16.0, 0.9),
)
# fmt: on

# Tables of instruments, one a line.
# fmt: off
DEFAULT_FUTURES = (
    FutureSpec("ES", "CME", "E-mini S&P 500", "50",
               MarketParams(5800.0, 0.16, 1.5e6, 3.0, 0.25, 0.003), 495500000, 11004968),
    FutureSpec("MES", "CME", "Micro E-Mini S&P 500 Stock Price Index", "5",
               MarketParams(5800.0, 0.16, 1.2e6, 2.0, 0.25, 0.003), 750100000, 362673777),
    FutureSpec("NQ", "CME", "E-mini NASDAQ 100", "20",
               MarketParams(20500.0, 0.22, 6e5, 2.0, 0.25, 0.003), 563900000, 11004958),
    FutureSpec("MNQ", "CME", "Micro E-Mini Nasdaq-100 Index", "2",
               MarketParams(20500.0, 0.22, 8e5, 2.0, 0.25, 0.003), 750300000, 362687422),
    FutureSpec("RTY", "CME", "E-mini Russell 2000 Index", "50",
               MarketParams(2200.0, 0.22, 1.5e5, 2.0, 0.1, 0.003), 568500000, 416888),
    FutureSpec("YM", "CBOT", "E-mini Dow Jones Industrial Average", "5",
               MarketParams(42000.0, 0.15, 1.5e5, 2.0, 1.0, 0.003), 573600000, 1935181),
    FutureSpec("CL", "NYMEX", "Light Sweet Crude Oil", "1000",
               MarketParams(72.0, 0.35, 3e5, 2.0, 0.01, 0.002), 174200000, 0,
               months="FGHJKMNQUVXZ", expiry="energy", expiryTime="14:30:00",
               hours=NYMEX_HOURS, settlement_hours=None, open_months=12, underSecType="",
               marketRuleIds="32"),
    FutureSpec("GC", "COMEX", "Gold", "100",
               MarketParams(2400.0, 0.15, 2e5, 2.0, 0.1, 0.001), 106100000, 0,
               months="GJMQVZ", expiry="metals", expiryTime="13:30:00", hours=COMEX_HOURS,
               settlement_hours=None, open_months=6, underSecType="", marketRuleIds="5"),
    FutureSpec("MGC", "COMEX", "E-Micro Gold", "10",
               MarketParams(2400.0, 0.15, 5e4, 1.0, 0.1, 0.001), 106200000, 0,
               months="GJMQVZ", expiry="metals", expiryTime="13:30:00", hours=COMEX_HOURS,
               settlement_hours=None, open_months=6, underSecType="", marketRuleIds="5"),
)
# fmt: on


@dataclass
class Universe:
    stocks: dict[str, StockSpec] = field(default_factory=dict)
    futures: dict[str, FutureSpec] = field(default_factory=dict)
    indices: dict[str, IndexSpec] = field(default_factory=dict)

    @classmethod
    def of(cls, specs) -> "Universe":
        universe = cls()
        for spec in specs:
            if isinstance(spec, IndexSpec):
                universe.indices[spec.symbol] = spec
            elif isinstance(spec, StockSpec):
                universe.stocks[spec.symbol] = spec
            elif isinstance(spec, FutureSpec):
                universe.futures[spec.symbol] = spec
            else:
                raise TypeError(f"not an instrument spec: {spec!r}")
        return universe


def default_universe() -> Universe:
    return Universe.of(DEFAULT_STOCKS + CLASS_SHARES + DEFAULT_INDICES + DEFAULT_FUTURES)
