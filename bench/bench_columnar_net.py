"""Times the columnar connection against the dict API: per call, and from several threads.

    PYTHONPATH=build/dev/pyroot /work/venv/bin/python bench/bench_columnar_net.py [--quick]

1. Per call, on loopback: a server in a child process answers every request at once with a
   fixed zlib-compressed response (800 daily bars or 2,000 trades, the bodies of
   bench_market.py). It prints microseconds per call, from request to result, of
     dict     TdxClient: a list of dicts
     table    quillan.columnar.Connection: a quillan.Table
   and the dict / table ratio (target: at least 2x), plain and net of the bare round trip (an
   empty answer to the same request, which both pay).

2. Threads: a server that answers every request 20 ms after it arrives (asyncio, in a child
   process: thousands of answers a second, far more than the clients ask). N threads, each with
   its own connection, ask 800 bars over and over; it prints requests per second for 1 and 8
   threads and the ratio (target: at least 6x for the columnar connection, which releases the
   interpreter lock while it waits; the dict API holds it, so its threads take turns: about 1x).

Timings are the best of several runs with the garbage collector off, as timeit does. On a
shared machine, take them as indicative.
"""

from __future__ import annotations

import argparse
import asyncio
import multiprocessing
import random
import socket
import struct
import threading
import time
import timeit
from functools import partial

from bench_market import CMD_BARS, CMD_TRADES, _server_main, bars_body, trades_body

from quillan._core import TdxClient
from quillan.columnar import Connection
from quillan.sim.codec import frame_response

# ---- a server that answers after a delay -----------------------------------------------------


async def _serve_delayed(
    reader: asyncio.StreamReader, writer: asyncio.StreamWriter, answer: bytes, delay: float
) -> None:
    sock = writer.get_extra_info("socket")
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    empty = frame_response(b"")
    seen = 0
    try:
        while True:
            head = await reader.readexactly(10)
            (length,) = struct.unpack_from("<H", head, 6)
            await reader.readexactly(length)
            seen += 1
            if seen <= 3:  # the set-up packets: answered at once
                writer.write(empty)
            else:
                await asyncio.sleep(delay)
                writer.write(answer)
            await writer.drain()
    except (asyncio.IncompleteReadError, ConnectionError):
        pass
    finally:
        writer.close()


def _delayed_server_main(conn, answer: bytes, delay: float) -> None:
    async def main() -> None:
        server = await asyncio.start_server(
            lambda r, w: _serve_delayed(r, w, answer, delay), "127.0.0.1", 0, backlog=64
        )
        conn.send(server.sockets[0].getsockname()[1])
        async with server:
            await server.serve_forever()

    asyncio.run(main())


def start(target, *args) -> tuple[multiprocessing.Process, int]:
    ctx = multiprocessing.get_context("spawn")
    parent, child = ctx.Pipe()
    proc = ctx.Process(target=target, args=(child, *args), daemon=True)
    proc.start()
    return proc, parent.recv()


# ---- 1. per call ------------------------------------------------------------------------------


def best_us(fn, number: int, repeat: int) -> float:
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number * 1e6


def per_call(port: int, number: int, repeat: int) -> None:
    client = TdxClient()
    client.connect("127.0.0.1", port)
    conn = Connection()
    conn.connect("127.0.0.1", port)

    cases = [
        ("800 bars", lambda c, m: c.get_security_bars(9, m, "600036", 0, 800)),
        ("2,000 trades", lambda c, m: c.get_transaction_data(m, "600036", 0, 2000)),
    ]
    # The bare round trip: the least any call took to get an empty answer, over both APIs and
    # both requests (the same bytes go each way), so that one noisy run does not skew it.
    trip = min(best_us(partial(call, c, 255), number, repeat) for _, call in cases for c in (client, conn))
    print("1. per call, loopback (us per call; ratio = dict / table)")
    print(f"   {'':14}{'dict':>9}{'table':>9}{'ratio':>8}{'net ratio':>11}   (round trip {trip:.1f} us)")
    for name, call in cases:
        # Both results hold the same values (checked in the tests); here, the same length.
        assert len(call(client, 1)) == len(call(conn, 1)) > 0
        d = best_us(partial(call, client, 1), number, repeat)
        t = best_us(partial(call, conn, 1), number, repeat)
        net = f"{(d - trip) / (t - trip):10.1f}x" if t > trip else f"{'n/a':>11}"
        print(f"   {name:14}{d:9.1f}{t:9.1f}{d / t:7.1f}x{net}")
    client.disconnect()
    conn.close()


# ---- 2. threads ------------------------------------------------------------------------------


def requests_per_second(make, port: int, threads: int, seconds: float) -> float:
    conns = [make() for _ in range(threads)]
    for c in conns:
        c.connect("127.0.0.1", port)
    counts = [0] * threads
    stop = time.monotonic() + seconds
    go = threading.Barrier(threads + 1)

    def work(i: int) -> None:
        c = conns[i]
        go.wait()
        while time.monotonic() < stop:
            c.get_security_bars(9, 1, "600036", 0, 800)
            counts[i] += 1

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    started = time.monotonic()
    go.wait()
    for w in workers:
        w.join()
    elapsed = time.monotonic() - started
    for c in conns:
        c.disconnect()
    return sum(counts) / elapsed


def threads_bench(port: int, delay: float, seconds: float) -> None:
    print(f"2. threads, a server that answers after {delay * 1000:.0f} ms (requests per second)")
    print(f"   {'':10}{'1 thread':>10}{'8 threads':>11}{'ratio':>8}")
    for name, make in [("table", Connection), ("dict", TdxClient)]:
        one = requests_per_second(make, port, 1, seconds)
        eight = requests_per_second(make, port, 8, seconds)
        print(f"   {name:10}{one:10.1f}{eight:11.1f}{eight / one:7.1f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter runs")
    args = parser.parse_args()
    number, repeat, seconds = (50, 3, 1.0) if args.quick else (300, 7, 3.0)

    rng = random.Random(1)
    bodies = {CMD_BARS: bars_body(rng), CMD_TRADES: trades_body(rng)}
    fast, port = start(_server_main, bodies)
    slow, slow_port = start(_delayed_server_main, frame_response(bodies[CMD_BARS], CMD_BARS), 0.020)
    try:
        per_call(port, number, repeat)
        print()
        threads_bench(slow_port, 0.020, seconds)
    finally:
        fast.kill()
        slow.kill()


if __name__ == "__main__":
    main()
