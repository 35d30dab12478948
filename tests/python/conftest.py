import pytest

from standin import StandIn


@pytest.fixture(scope="session")
def _standin_session():
    server = StandIn()
    yield server
    server.close()


@pytest.fixture
def standin(_standin_session):
    """The stand-in quote server, with an empty script and no captures."""
    _standin_session.reset()
    yield _standin_session
    _standin_session.reset()


@pytest.fixture
def client(standin):
    """A TdxClient connected to the stand-in, past the set-up exchange."""
    from quillan._core import TdxClient

    c = TdxClient()
    assert c.connect(standin.host, standin.port) is True
    yield c
    c.disconnect()
