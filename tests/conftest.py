# Fixtures shared by every test area: the yfinance library boundary and the
# simulated IBKR gateway.
pytest_plugins = ["fixtures.yf", "fixtures.gateway", "fixtures.logs"]
