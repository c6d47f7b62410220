import pytest
from loguru import logger


@pytest.fixture
def log_lines():
    """What the command logs, as "LEVEL|message" lines."""
    lines = []
    sink = logger.add(lambda message: lines.append(message.rstrip("\n")), format="{level}|{message}")
    yield lines
    logger.remove(sink)
