"""Reliability checks that print figures: run them by hand or from the Makefile.

    make cancelcheck   cancel trials at random moments; a cancel must never be swallowed
    make fuzz N=...    random kline word lists through both sources with failing stand-ins
    make leakcheck     100,000 mixed requests; memory must stay flat after warm-up
    make asan          the whole test suite against an AddressSanitizer+UBSan build

Nothing here touches the internet: the gateway is ibsim on loopback, spoken to by the real
ib_async client, and yfinance is the programmable stand-in of tests/fixtures/yf.py.
"""
