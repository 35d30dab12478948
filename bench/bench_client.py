"""Throughput of a pooled quillan.Client used from many threads, against pool=1.

    .venv/bin/python bench/bench_client.py [--threads 8] [--delay 0.02] [--seconds 3]

The simulator runs in a child process and holds every answer back by --delay seconds, as a
distant server would; its per-connection threads sleep through that delay, so it answers many
requests at once. Each of --threads threads calls, in a loop, one small request through the
same Client (the quote of one security, and ten bars of a short history), for --seconds
seconds. It prints requests per second for pool=1 and pool=N side by side and their ratio,
beside the ceiling that the delay allows (threads / delay); a ratio near N means the
connections overlap and the server is not the bottleneck.
"""

from __future__ import annotations

import argparse
import threading
import time
from collections.abc import Callable

from quillan import Client
from quillan.sim import Server


def run(client: Client, threads: int, seconds: float, call: Callable[[Client], object]) -> float:
    """Requests per second of `threads` threads calling `call` through `client`."""
    count = [0] * threads
    stop = time.monotonic() + seconds
    errors: list[BaseException] = []

    def worker(i: int) -> None:
        try:
            while time.monotonic() < stop:
                call(client)
                count[i] += 1
        except BaseException as err:  # reported below
            errors.append(err)

    call(client)  # probe and connect before the clock starts
    pool = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    began = time.monotonic()
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    elapsed = time.monotonic() - began
    if errors:
        raise errors[0]
    return sum(count) / elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--delay", type=float, default=0.02)
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()
    calls: dict[str, Callable[[Client], object]] = {
        "quotes": lambda c: c.quotes(["600036"]),
        "bars": lambda c: c.bars("900010", "1d"),
    }
    with Server(delay=args.delay) as srv:
        print(f"{args.threads} threads, answers held back {args.delay * 1000:g} ms, {args.seconds:g} s each")
        print(f"ceiling: {args.threads / args.delay:,.0f} requests/s with {args.threads} connections")
        print(f"{'call':8} {'pool=1':>10} {f'pool={args.threads}':>10} {'ratio':>7}")
        for name, call in calls.items():
            rates = []
            for pool in (1, args.threads):
                with Client([srv.address], pool=pool) as client:
                    rates.append(run(client, args.threads, args.seconds, call))
            print(f"{name:8} {rates[0]:10,.0f} {rates[1]:10,.0f} {rates[1] / rates[0]:6.1f}x")


if __name__ == "__main__":
    main()
