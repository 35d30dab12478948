"""quillan.Client: many quote servers behind one object, with retries, fail-over and whole
results in one call (`quillan.client.client`); its pool of connections
(`quillan.client.pool`) and retry policy (`quillan.client.retry`)."""

from quillan.client.client import Client
from quillan.client.retry import Retry, ServersFailed

__all__ = ["Client", "Retry", "ServersFailed"]
