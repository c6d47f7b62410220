"""Outgoing gateway messages, laid out for server version 178."""

from .bar_text import BarText
from .wire import frame

SERVER_VERSION = 178


class Out:
    """Ids of the gateway-to-client messages the simulator sends."""

    ERROR = 4
    NEXT_VALID_ID = 9
    CONTRACT_DETAILS = 10
    MANAGED_ACCOUNTS = 15
    HISTORICAL_DATA = 17
    CURRENT_TIME = 49
    CONTRACT_DETAILS_END = 52
    OPEN_ORDER_END = 53
    ACCOUNT_DOWNLOAD_END = 54
    EXEC_DETAILS_END = 55
    POSITION_END = 62
    ACCOUNT_UPDATE_MULTI_END = 74
    COMPLETED_ORDERS_END = 102


def handshake(version: int, connection_time: str) -> bytes:
    """Exactly two fields: ib_async takes a two-field message as the handshake."""
    return frame([version, connection_time])


def error(req_id: int, code: int, text: str) -> bytes:
    # From version 166 on the client expects advancedOrderRejectJson after the text.
    return frame([Out.ERROR, 2, req_id, code, text, ""])


def managed_accounts(accounts: list[str]) -> bytes:
    return frame([Out.MANAGED_ACCOUNTS, 1, ",".join(accounts)])


def next_valid_id(order_id: int) -> bytes:
    return frame([Out.NEXT_VALID_ID, 1, order_id])


def current_time(epoch_seconds: int) -> bytes:
    return frame([Out.CURRENT_TIME, 1, epoch_seconds])


def position_end() -> bytes:
    return frame([Out.POSITION_END, 1])


def open_order_end() -> bytes:
    return frame([Out.OPEN_ORDER_END, 1])


def completed_orders_end() -> bytes:
    # No version field: ib_async decodes it with skip=1.
    return frame([Out.COMPLETED_ORDERS_END])


def account_download_end(account: str) -> bytes:
    return frame([Out.ACCOUNT_DOWNLOAD_END, 1, account])


def account_update_multi_end(req_id: int) -> bytes:
    return frame([Out.ACCOUNT_UPDATE_MULTI_END, 1, req_id])


def exec_details_end(req_id: int) -> bytes:
    return frame([Out.EXEC_DETAILS_END, 1, req_id])


def contract_details_end(req_id: int) -> bytes:
    return frame([Out.CONTRACT_DETAILS_END, 1, req_id])


def contract_details(req_id: int, fields: list) -> bytes:
    """`fields` is everything after the reqId, as built by contracts.details_fields."""
    return frame([Out.CONTRACT_DETAILS, req_id, *fields])


def historical_data(req_id: int, start: str, end: str, bars: BarText) -> bytes:
    """Bars arrive as one pre-joined text: long answers are not built field by field."""
    head = frame([Out.HISTORICAL_DATA, req_id, start, end, bars.count])
    body = bars.body.encode()
    return (len(head) - 4 + len(body)).to_bytes(4, "big") + head[4:] + body
