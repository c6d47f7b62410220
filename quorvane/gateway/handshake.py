"""Starting the API session with a gateway, telling apart why it did not start.

ib_async's connectAsync reports every failure after the socket opened as a bare TimeoutError:
a client id already in use (326, after which the gateway closes the socket) and a gateway that
accepts the socket but never answers (it is not logged in) look alike. Here a 326 ends the
attempt at once, and a silent gateway is named as such when the time is up.
"""

from __future__ import annotations

import asyncio

from ib_async import IB

from quorvane.gateway.refusals import CLIENT_ID_IN_USE


class ClientIdInUse(ConnectionError):
    def __init__(self, client_id: int) -> None:
        super().__init__(f"client id {client_id} is in use (IB {CLIENT_ID_IN_USE})")
        self.client_id = client_id


class GatewaySilent(ConnectionError):
    def __init__(self) -> None:
        super().__init__("connected, but the gateway does not answer (is it logged in?)")


async def start_api(ib: IB, host: str, port: int, client_id: int, timeout: float) -> None:
    """ib.connectAsync within `timeout` seconds; ClientIdInUse or GatewaySilent where that is why not."""
    refused = asyncio.get_running_loop().create_future()
    heard = []

    def on_error(req_id: int, code: int, text: str, contract) -> None:
        if code == CLIENT_ID_IN_USE and not refused.done():
            refused.set_result(ClientIdInUse(client_id))

    def on_data(data: bytes) -> None:
        heard.append(len(data))

    ib.errorEvent += on_error
    ib.client.conn.hasData += on_data
    connecting = asyncio.ensure_future(ib.connectAsync(host, port, clientId=client_id, timeout=None))
    try:
        done, _ = await asyncio.wait(
            {connecting, refused}, timeout=timeout or None, return_when=asyncio.FIRST_COMPLETED
        )
        if connecting in done:
            return connecting.result()
        if refused in done:
            raise refused.result()
        if ib.client.conn.isConnected() and not heard:
            raise GatewaySilent()
        raise TimeoutError(f"no answer in {timeout:g} s")
    finally:
        ib.errorEvent -= on_error
        ib.client.conn.hasData -= on_data
        if not connecting.done():
            connecting.cancel()
            await asyncio.gather(connecting, return_exceptions=True)
