"""Connecting the real ib_async client: handshake, start-up requests, robustness."""

import asyncio
import logging
import signal
import struct
import sys

import pytest
from ib_async import IB

from ibsim.messages import AccountUpdatesRequest, ExecutionsRequest, StartApi


async def test_connect_completes_quickly_without_timeouts(gateway_sim, caplog):
    caplog.set_level(logging.INFO)
    ib = IB()
    loop = asyncio.get_running_loop()
    started = loop.time()
    await ib.connectAsync("127.0.0.1", gateway_sim.port, clientId=7, timeout=2)
    elapsed = loop.time() - started
    try:
        assert ib.isConnected()
        assert ib.client.serverVersion() == 178
        assert ib.managedAccounts() == ["DU123456"]
        assert elapsed < 1.0, f"connect took {elapsed:.2f}s: a start-up answer is missing"
        assert "timed out" not in caplog.text
        assert "Synchronization complete" in caplog.text
        assert "HMDS data farm connection is OK:ushmds" in caplog.text
        kinds = {type(r) for r in gateway_sim.requests}
        assert {StartApi, AccountUpdatesRequest, ExecutionsRequest} <= kinds
        assert gateway_sim.requests[0] == StartApi(clientId=7, optionalCapabilities="")
    finally:
        ib.disconnect()


@pytest.mark.parametrize(
    "fields",
    [(4242, 1, "whatever"), ("hello",), (20, 17)],
    ids=["unknown-id", "non-numeric-id", "truncated-history-request"],
)
async def test_odd_messages_are_ignored_and_the_session_goes_on(ib, gateway_sim, fields):
    ib.client.send(*fields)
    assert await asyncio.wait_for(ib.reqCurrentTimeAsync(), 2)
    assert ib.isConnected()


async def test_server_survives_disconnects_and_garbage(gateway_sim):
    reader, writer = await asyncio.open_connection("127.0.0.1", gateway_sim.port)
    writer.write(b"GET / HTTP/1.0\r\n\r\n")
    await writer.drain()
    assert await asyncio.wait_for(reader.read(), 2) == b""  # closed on us, politely
    writer.close()

    reader, writer = await asyncio.open_connection("127.0.0.1", gateway_sim.port)
    hello = b"v157..178"
    writer.write(b"API\0" + struct.pack(">I", len(hello)) + hello)
    writer.close()  # leaves mid-handshake

    for client_id in (1, 2):  # sequential clients both get through
        ib = IB()
        await ib.connectAsync("127.0.0.1", gateway_sim.port, clientId=client_id, timeout=2)
        assert ib.isConnected()
        ib.disconnect()


@pytest.mark.parametrize("client_id", [0, 5], ids=["master-client-autobind", "ordinary-client"])
async def test_connect_with_any_client_id(gateway_sim, client_id):
    ib = IB()
    await ib.connectAsync("127.0.0.1", gateway_sim.port, clientId=client_id, timeout=2)
    assert ib.isConnected()
    ib.disconnect()


async def test_command_line_simulator_serves_a_client():
    process = await asyncio.create_subprocess_exec(
        sys.executable,
        "-m",
        "ibsim",
        "--port",
        "0",
        "--seed",
        "3",
        stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.DEVNULL,
    )
    try:
        banner = (await asyncio.wait_for(process.stdout.readline(), 10)).decode()
        port = int(banner.split(" on ")[1].split()[0].rsplit(":", 1)[1])
        ib = IB()
        await ib.connectAsync("127.0.0.1", port, clientId=1, timeout=2)
        assert ib.isConnected()
        ib.disconnect()
    finally:
        process.send_signal(signal.SIGINT)
        assert await asyncio.wait_for(process.wait(), 5) == 0
