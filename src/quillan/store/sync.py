"""Store.sync: what is new of some securities, fetched through a quillan.Client and stored."""

from __future__ import annotations

from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor, wait
from typing import TYPE_CHECKING, Any

import numpy as np

from quillan.progress import Progress
from quillan.store.layout import Item, bars_series, bucket_of
from quillan.store.report import Batches, Interrupted, SyncReport
from quillan.store.writer import Writer
from quillan.vocabulary import INTRADAY

if TYPE_CHECKING:
    from quillan.client import Client

__all__ = ["sync"]


def sync(
    writer: Writer,
    client: Client,
    securities: Sequence[tuple[str, str]],
    freqs: Sequence[str],
    start: np.datetime64 | None,
    *,
    xdxr: bool,
    progress: bool | None,
) -> SyncReport:
    """The work of `Store.sync` for securities as (market name, code) and checked frequencies,
    under the lock that `writer` stands for."""
    # Bucket by bucket, so that each is written as soon as its securities are fetched.
    tasks = sorted(
        ((m, c, f) for m, c in securities for f in freqs),
        key=lambda t: (t[2], bucket_of(t[0], t[1], t[2]), t[0], t[1]),
    )
    if xdxr:
        tasks += [(m, c, "xdxr") for m, c in securities]
    report = SyncReport()
    batches: Batches[Item] = Batches(report)
    for market, code, freq in tasks:
        if freq != "xdxr":
            batches.expect((freq, bucket_of(market, code, freq)))
    stored = writer.state.current()

    def run(task: tuple[str, str, str]) -> None:
        market, code, freq = task
        symbol = market + code
        security = (1 if market == "sh" else 0, code)
        try:
            if freq == "xdxr":
                batches.report(f"{symbol}/xdxr", writer.write_xdxr(market, code, client.xdxr(security)))
                return
            # From the last bar the store holds, not the one the record names: when the record
            # runs ahead of the bars (a bars file lost or damaged) the series is fetched whole
            # again, never shortened to what is fetched from the record's last bar on.
            entry = stored.get(f"{symbol}/{freq}") or {}
            have = writer.stored(freq, market, code)
            held = 0 if have is None else len(have["time"])
            last = str(have["time"][-1].astype("datetime64[s]")) if have is not None and held else ""
            since: np.datetime64 | None = None
            ask: Any = start
            if entry.get("last") and (held < entry.get("rows", 0) or last < entry["last"]):
                writer.note(
                    f"{symbol}/{freq}: the record names {entry.get('rows', 0)} bars to {entry['last'][:10]}, "
                    f"the store holds {held}: fetched again from the start"
                )
            elif held:
                since = np.datetime64(last, "s")
                if freq not in INTRADAY:
                    since = since.astype("datetime64[D]")
                ask = since
            bars = client.bars(security, freq, start=ask)
            item: Item | Exception = (market, code, bars_series(freq, bars), since)
        except Exception as err:  # reported per series; the others go on
            if freq == "xdxr":
                batches.report(f"{symbol}/xdxr", err)
                return
            item = err
        key = (freq, bucket_of(market, code, freq))
        batches.add(
            key,
            f"{symbol}/{freq}",
            item,
            lambda items: writer.write_bucket(freq, key[1], items, "sync", must_exist=True),
        )

    with Progress(len(tasks), "sync", show=progress) as bar:

        def step(task: tuple[str, str, str]) -> None:
            run(task)
            bar.advance()
            writer.state.maybe_flush()

        with ThreadPoolExecutor(max_workers=max(1, int(getattr(client, "pool", 1)))) as pool:
            futures = [pool.submit(step, task) for task in tasks]
            try:
                for future in futures:
                    future.result()
            except KeyboardInterrupt:
                # The tasks not started never start; the requests under way end at once (a
                # silent server does not hold the run); a bucket is written whole or not at all.
                for future in futures:
                    future.cancel()
                cancel = getattr(client, "cancel", None)
                while not wait(futures, timeout=0.1).done.issuperset(futures):
                    if cancel is not None:  # a task's later request too
                        cancel()
                pool.shutdown(wait=True)
                raise Interrupted("synced", bar.done, len(tasks), "series", report) from None
    report.notes += writer.notes
    return report
