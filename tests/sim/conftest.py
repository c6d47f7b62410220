# The gateway fixtures, also available here before the root conftest loads them as a plugin.
from fixtures.gateway import *  # noqa: F403
