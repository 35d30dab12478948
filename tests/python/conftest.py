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


@pytest.fixture(scope="session")
def sim():
    """The quote-server simulator (quillan.sim), in a child process for the whole session."""
    from quillan.sim import Server

    with Server() as server:
        yield server


@pytest.fixture
def sim_client(sim):
    """A TdxClient connected to the simulator."""
    from quillan._core import TdxClient

    c = TdxClient()
    c.connect(sim.host, sim.port)
    yield c
    c.disconnect()
