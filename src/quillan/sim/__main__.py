"""python -m quillan.sim [--host HOST] [--port PORT]: run the quote-server simulator."""

from __future__ import annotations

import argparse
import datetime
import json
import sys
import threading

from quillan.sim import universe
from quillan.sim.faults import Fault
from quillan.sim.server import IDLE_TIMEOUT, MAX_CONNECTIONS, SEND_TIMEOUT, SimServer


def _port(text: str) -> int:
    # ASCII digits only: str.isdigit() also takes other scripts' digits.
    if not (text.isascii() and text.isdigit()) or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"invalid port '{text}' (0 to 65535)")
    return int(text)


def _moment(text: str) -> datetime.datetime:
    try:
        return datetime.datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid moment '{text}' (expected 2024-03-12T10:30)") from None


def _count(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or int(text) < 1:
        raise argparse.ArgumentTypeError(f"invalid count '{text}' (1 or more)")
    return int(text)


def _seconds(text: str) -> float | None:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"invalid time '{text}' (seconds, 0 for no limit)")
    return value or None


def _take_orders(server: SimServer) -> None:
    """Reads fault plans, one JSON line each, from standard input until it ends."""
    for line in sys.stdin.buffer:
        try:
            plan = json.loads(line)
            faults = [Fault.from_json(f) for f in plan["faults"]]
            every = Fault.from_json(plan["every"]) if plan.get("every") else None
        except (ValueError, KeyError, TypeError) as err:
            print(f"quillan.sim: bad fault plan: {err}", flush=True)
            continue
        server.faults.set(faults, every)
        print("quillan.sim: faults set", flush=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m quillan.sim",
        description="A TDX quote-server simulator with deterministic synthetic data.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument(
        "--port", type=_port, default=7709, help="port to listen on, 0 for any free one (default 7709)"
    )
    parser.add_argument(
        "--delay",
        type=float,
        default=0.0,
        help="seconds to hold back every answer, as a distant server would",
    )
    parser.add_argument(
        "--now",
        type=_moment,
        help="the moment the market stands at, e.g. 2024-03-12T10:30: later bars do not exist yet "
        f"(default: after the close of {universe.LAST_DAY})",
    )
    parser.add_argument(
        "--max-connections",
        type=_count,
        default=MAX_CONNECTIONS,
        help=f"connections served at once; more are closed at once (default {MAX_CONNECTIONS})",
    )
    parser.add_argument(
        "--idle-timeout",
        type=_seconds,
        default=IDLE_TIMEOUT,
        metavar="SECONDS",
        help=f"close a connection that sends no request for this long, 0 never (default {IDLE_TIMEOUT:g})",
    )
    parser.add_argument(
        "--send-timeout",
        type=_seconds,
        default=SEND_TIMEOUT,
        metavar="SECONDS",
        help=f"close a connection that takes no answer for this long, 0 never (default {SEND_TIMEOUT:g})",
    )
    parser.add_argument("--verbose", "-v", action="store_true", help="log connections and requests on stderr")
    # For Server(): leave when standard input reaches its end, that is when the parent goes.
    parser.add_argument("--watch-stdin", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    universe.set_now(args.now)
    try:
        server = SimServer(
            args.host,
            args.port,
            verbose=args.verbose,
            delay=max(0.0, args.delay),
            max_connections=args.max_connections,
            idle_timeout=args.idle_timeout,
            send_timeout=args.send_timeout,
        )
    except OSError as err:
        print(
            f"quillan.sim: error: cannot listen on {args.host}:{args.port}: {err.strerror or err}",
            file=sys.stderr,
        )
        return 1
    try:
        print(f"quillan.sim: listening on {server.address}", flush=True)
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        if args.watch_stdin:
            _take_orders(server)
        else:
            thread.join()
    except KeyboardInterrupt:  # Ctrl-C: the way to stop it
        pass
    finally:
        server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
