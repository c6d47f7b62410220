"""Incoming TWS API requests: message ids and decoding into dataclasses."""

from collections.abc import Callable
from dataclasses import dataclass, field
from enum import IntEnum


class In(IntEnum):
    """Ids of the client-to-gateway messages the simulator understands."""

    OPEN_ORDERS = 5
    ACCOUNT_UPDATES = 6
    EXECUTIONS = 7
    IDS = 8
    CONTRACT_DETAILS = 9
    AUTO_OPEN_ORDERS = 15
    ALL_OPEN_ORDERS = 16
    MANAGED_ACCOUNTS = 17
    HISTORICAL_DATA = 20
    CANCEL_HISTORICAL_DATA = 25
    CURRENT_TIME = 49
    MARKET_DATA_TYPE = 59
    POSITIONS = 61
    START_API = 71
    ACCOUNT_UPDATES_MULTI = 76
    COMPLETED_ORDERS = 99


@dataclass
class WireContract:
    """The twelve contract fields every contract-bearing request carries."""

    conId: int = 0
    symbol: str = ""
    secType: str = ""
    lastTradeDateOrContractMonth: str = ""
    strike: float = 0.0
    right: str = ""
    multiplier: str = ""
    exchange: str = ""
    primaryExchange: str = ""
    currency: str = ""
    localSymbol: str = ""
    tradingClass: str = ""


@dataclass
class StartApi:
    clientId: int
    optionalCapabilities: str


@dataclass
class PositionsRequest:
    pass


@dataclass
class OpenOrdersRequest:
    allClients: bool


@dataclass
class AutoOpenOrdersRequest:
    autoBind: bool


@dataclass
class CompletedOrdersRequest:
    apiOnly: bool


@dataclass
class AccountUpdatesRequest:
    subscribe: bool
    acctCode: str


@dataclass
class AccountUpdatesMultiRequest:
    reqId: int
    account: str
    modelCode: str
    ledgerAndNLV: bool


@dataclass
class ExecutionsRequest:
    reqId: int


@dataclass
class IdsRequest:
    numIds: int


@dataclass
class ManagedAccountsRequest:
    pass


@dataclass
class CurrentTimeRequest:
    pass


@dataclass
class MarketDataTypeRequest:
    marketDataType: int


@dataclass
class ContractDetailsRequest:
    reqId: int
    contract: WireContract
    includeExpired: bool
    secIdType: str
    secId: str
    issuerId: str


@dataclass
class HistoricalDataRequest:
    reqId: int
    contract: WireContract
    includeExpired: bool
    endDateTime: str
    barSizeSetting: str
    durationStr: str
    useRTH: bool
    whatToShow: str
    formatDate: int
    keepUpToDate: bool
    chartOptions: str
    comboLegs: list[tuple[str, ...]] = field(default_factory=list)


@dataclass
class CancelHistoricalData:
    reqId: int


@dataclass
class UnknownRequest:
    msgId: int
    fields: list[str]


class FieldReader:
    """Reads typed fields in order; running out of fields is a malformed message."""

    def __init__(self, fields: list[str]):
        self._fields = fields
        self._pos = 0

    def text(self) -> str:
        if self._pos >= len(self._fields):
            raise ValueError(f"message too short: {self._fields}")
        value = self._fields[self._pos]
        self._pos += 1
        return value

    def text_or_empty(self) -> str:
        """Trailing fields that older clients leave out."""
        return self.text() if self._pos < len(self._fields) else ""

    def int(self) -> int:
        value = self.text()
        return int(value) if value else 0

    def float(self) -> float:
        value = self.text()
        return float(value) if value else 0.0

    def bool(self) -> bool:
        return self.int() != 0

    def contract(self) -> WireContract:
        return WireContract(
            conId=self.int(),
            symbol=self.text(),
            secType=self.text(),
            lastTradeDateOrContractMonth=self.text(),
            strike=self.float(),
            right=self.text(),
            multiplier=self.text(),
            exchange=self.text(),
            primaryExchange=self.text(),
            currency=self.text(),
            localSymbol=self.text(),
            tradingClass=self.text(),
        )


def _contract_details(r: FieldReader) -> ContractDetailsRequest:
    r.text()  # version
    return ContractDetailsRequest(
        reqId=r.int(),
        contract=r.contract(),
        includeExpired=r.bool(),
        secIdType=r.text(),
        secId=r.text(),
        issuerId=r.text_or_empty(),
    )


def _historical_data(r: FieldReader) -> HistoricalDataRequest:
    # No version field, and the bar size comes before the duration.
    req_id, contract, include_expired = r.int(), r.contract(), r.bool()
    end, bar_size, duration = r.text(), r.text(), r.text()
    use_rth, what, format_date = r.bool(), r.text(), r.int()
    legs: list[tuple[str, ...]] = []
    if contract.secType == "BAG":
        legs = [(r.text(), r.text(), r.text(), r.text()) for _ in range(r.int())]
    return HistoricalDataRequest(
        reqId=req_id,
        contract=contract,
        includeExpired=include_expired,
        endDateTime=end,
        barSizeSetting=bar_size,
        durationStr=duration,
        useRTH=use_rth,
        whatToShow=what,
        formatDate=format_date,
        keepUpToDate=r.bool(),
        chartOptions=r.text_or_empty(),
        comboLegs=legs,
    )


def _versioned(build):
    """Decoder for a message whose first field after the id is a version."""

    def decode(r: FieldReader):
        r.text()
        return build(r)

    return decode


_DECODERS: dict[int, Callable[[FieldReader], object]] = {
    In.START_API: _versioned(lambda r: StartApi(r.int(), r.text_or_empty())),
    In.POSITIONS: _versioned(lambda r: PositionsRequest()),
    In.OPEN_ORDERS: _versioned(lambda r: OpenOrdersRequest(allClients=False)),
    In.ALL_OPEN_ORDERS: _versioned(lambda r: OpenOrdersRequest(allClients=True)),
    In.AUTO_OPEN_ORDERS: _versioned(lambda r: AutoOpenOrdersRequest(r.bool())),
    # completed orders carry no version field
    In.COMPLETED_ORDERS: lambda r: CompletedOrdersRequest(r.bool()),
    In.ACCOUNT_UPDATES: _versioned(lambda r: AccountUpdatesRequest(r.bool(), r.text())),
    In.ACCOUNT_UPDATES_MULTI: _versioned(lambda r: AccountUpdatesMultiRequest(r.int(), r.text(), r.text(), r.bool())),
    In.EXECUTIONS: _versioned(lambda r: ExecutionsRequest(r.int())),
    In.IDS: _versioned(lambda r: IdsRequest(r.int())),
    In.MANAGED_ACCOUNTS: _versioned(lambda r: ManagedAccountsRequest()),
    In.CURRENT_TIME: _versioned(lambda r: CurrentTimeRequest()),
    In.MARKET_DATA_TYPE: _versioned(lambda r: MarketDataTypeRequest(r.int())),
    In.CONTRACT_DETAILS: _contract_details,
    In.HISTORICAL_DATA: _historical_data,
    In.CANCEL_HISTORICAL_DATA: _versioned(lambda r: CancelHistoricalData(r.int())),
}


def decode_request(fields: list[str]):
    """Turn one message's fields into a request dataclass (UnknownRequest if unhandled).

    Raises ValueError for a known message whose fields do not fit its layout.
    """
    if not fields:
        raise ValueError("empty message")
    msg_id = int(fields[0])
    decoder = _DECODERS.get(msg_id)
    if decoder is None:
        return UnknownRequest(msg_id, fields[1:])
    return decoder(FieldReader(fields[1:]))
