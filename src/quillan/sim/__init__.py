"""A TDX quote-server simulator with deterministic synthetic data.

It speaks the quote-server protocol on loopback: it accepts the set-up packets and answers the
eight request commands (bars, quotes, trades, ex-rights records, finance summary, company
information index and text, report files) for a small fixed universe of securities on markets
0 and 1. Run it on its own with ``python -m quillan.sim --port 7709``, or from Python::

    import quillan
    import quillan.sim

    with quillan.sim.Server() as srv:  # a child process, on a port the system picks
        client = quillan.TdxClient()
        client.connect(srv.host, srv.port)
        bars = client.get_security_bars(9, 1, "600036", 0, 10)
        assert bars == quillan.sim.data.security_bars(9, 1, "600036", 0, 10)

`quillan.sim.data` tells what the simulator means: each of its functions returns exactly what
the client method of the same name returns against the simulator. `quillan.sim.universe` holds
the securities and their history, and documents the units and the meaning of the bar
categories.
"""

from quillan.sim import data, long_history, universe
from quillan.sim.faults import Fault
from quillan.sim.server import Server

__all__ = ["Fault", "Server", "data", "long_history", "universe"]
