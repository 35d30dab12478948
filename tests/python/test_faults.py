"""Faults a user meets, one parametrised test per kind: lost and damaged files, odd folders and
links around a store, bit flips, and servers that answer wrong or not at all. Nothing may come
back silently wrong: the answer is right, or an error names what is wrong."""

import json
import random
import shutil
import struct
import time

import numpy as np
import pytest

import quillan
from quillan import Client, ServersFailed, Store
from standin import Reply

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

SECURITIES = ["600036", "000001", "sz000002"]


@pytest.fixture(scope="module")
def synced(sim, tmp_path_factory):
    """A store synced from the simulator (daily and 5-minute bars, ex-rights records)."""
    root = tmp_path_factory.mktemp("faults") / "store"
    with Client([sim.address]) as client:
        assert Store(root).sync(client, SECURITIES, ["1d", "5m"], progress=False).ok
    return root


@pytest.fixture
def store(synced, tmp_path):
    """A copy of the synced store to damage."""
    shutil.copytree(synced, tmp_path / "store")
    return Store(tmp_path / "store")


def bucket_of(store, freq="1d", security="600036"):
    return (
        store.path
        / "bars"
        / f"freq={freq}"
        / f"bucket={quillan.store.layout.bucket_of('sh', security, freq)}"
        / "data.parquet"
    )


def lose(store):
    bucket_of(store).unlink()


def truncate(store):
    path = bucket_of(store)
    path.write_bytes(path.read_bytes()[:300])


def garble_record(store):
    (store.path / "sync.json").write_text('{"sh600036/1d": {"rows": ')


STORE_FAULTS = {
    # fault: (what is done to the store, what verify says)
    "lost bars file": (lose, "no bars of sh600036, where the record names 160"),
    "truncated bars file": (truncate, "damaged"),
    "damaged record": (garble_record, "sync.json: damaged"),
}


@pytest.mark.parametrize("fault", STORE_FAULTS)
def test_a_damaged_store_says_so_and_a_sync_mends_it(sim, synced, store, fault):
    damage, said = STORE_FAULTS[fault]
    damage(store)
    assert any(said in str(problem) for problem in store.verify())
    notes = []
    store.notify = notes.append
    with Client([sim.address]) as client:
        report = store.sync(client, SECURITIES, ["1d", "5m"], progress=False)
    assert report.ok and notes and report.notes == notes
    assert store.verify() == []
    assert store.bars("600036").equals(Store(synced).bars("600036"))  # the whole history, not its tail


def test_a_damaged_file_is_one_line_naming_it(store):
    truncate(store)
    with pytest.raises(OSError, match="damaged") as caught:
        store.bars("600036")
    assert caught.value.filename == str(bucket_of(store))
    garble_record(store)
    with pytest.raises(OSError, match="damaged") as caught:
        store.state()
    assert caught.value.filename == str(store.path / "sync.json")


def test_a_listing_that_does_not_match_its_rows_is_found(sim, store):
    path = bucket_of(store)
    table = pq.read_table(path)
    meta = dict(pq.read_metadata(path).metadata)
    listing = json.loads(meta[b"quillan.listing"])
    listing["rows"][0] -= 1
    meta[b"quillan.listing"] = json.dumps(listing).encode()
    with pq.ParquetWriter(path, table.schema, write_page_checksum=True, store_schema=False) as writer:
        writer.write_table(table)
        writer.add_key_value_metadata(meta)
    (problem,) = store.verify()
    assert "the listing in its footer does not match its rows; remove the file, then make it" in str(problem)
    path.unlink()
    with Client([sim.address]) as client:
        assert store.sync(client, SECURITIES, ["1d", "5m"], progress=False).ok
    assert store.verify() == []


@pytest.mark.slow
def test_every_bit_flip_is_found_or_changes_nothing(synced, tmp_path):
    def meaning(root):
        """What a store says: every table (NaN equal to NaN), its row groups' statistics and
        generation; what the record names of each series."""
        said = {}
        for path in sorted(root.rglob("*.parquet")):
            meta = pq.read_metadata(path)
            stats = [
                [(s.min, s.max) if (s := meta.row_group(g).column(c).statistics) and s.has_min_max else None
                 for c in range(meta.num_columns)]
                for g in range(meta.num_row_groups)
            ]  # fmt: skip
            table = pq.read_table(path)
            columns = [
                np.asarray(table.column(i).to_pylist(), dtype=object) for i in range(table.num_columns)
            ]
            generation = (meta.metadata or {}).get(b"quillan.generation")
            said[str(path.relative_to(root))] = (
                table.schema,
                [repr(c.tolist()) for c in columns],
                stats,
                generation,
            )
        record = json.loads((root / "sync.json").read_text())
        said["sync.json"] = {key: (entry["rows"], entry["last"]) for key, entry in record.items()}
        return said

    base = meaning(synced)
    files = [p for p in synced.rglob("*") if p.is_file() and p.name != ".lock"]
    rng = random.Random(26)
    for _ in range(100):
        root = tmp_path / "flipped"
        shutil.rmtree(root, ignore_errors=True)
        shutil.copytree(synced, root)
        target = root / rng.choice(files).relative_to(synced)
        content = bytearray(target.read_bytes())
        at = rng.randrange(len(content))
        content[at] ^= 1 << rng.randrange(8)
        target.write_bytes(bytes(content))
        if Store(root).verify():
            continue
        try:
            assert meaning(root) == base, (target, at)
        except (OSError, ValueError, KeyError) as err:  # unreadable, yet verified
            raise AssertionError(f"{target} at {at}: {err}") from err


def test_the_views_read_the_store_and_nothing_beside_it(sim, tmp_path):
    # A store named like a pattern, beside the stores it would match, inside folders that look
    # like partitions.
    with Client([sim.address]) as client:
        for name in ("m1", "ma", "code=x/freq=5m/m[1]"):
            Store(tmp_path / name).sync(
                client, [SECURITIES[0]] if name != "m1" else SECURITIES, ["1d"], progress=False
            )
    store = Store(tmp_path / "code=x" / "freq=5m" / "m[1]")
    counts = store.sql("SELECT code, freq, count(*) AS n FROM bars GROUP BY code, freq")
    assert (
        counts["code"].tolist() == ["600036"]
        and counts["freq"].tolist() == ["1d"]
        and counts["n"].tolist() == [160]
    )


@pytest.mark.parametrize("link", [".lock", "xdxr"])
def test_links_lead_nothing_outside_the_store(sim, store, tmp_path, link):
    outside = tmp_path / "outside"
    outside.mkdir()
    victim = outside / (".kept.tmp" if link == "xdxr" else "victim")
    victim.write_text("keep me")
    path = store.path / link
    if link == "xdxr":
        shutil.copytree(path, outside, dirs_exist_ok=True)
        shutil.rmtree(path)
    else:
        path.unlink(missing_ok=True)
    path.symlink_to(outside if link == "xdxr" else victim)
    with Client([sim.address]) as client:
        if link == ".lock":
            with pytest.raises(OSError, match="lock file is a symbolic link"):
                store.sync(client, SECURITIES, ["1d"], progress=False)
        else:
            store.sync(client, SECURITIES, ["1d"], progress=False)
    assert victim.read_text() == "keep me"


def test_a_full_disk_names_the_file(sim, store, monkeypatch):
    import quillan.store.parquet as parquet

    real = parquet.write_temporary

    def full(path, write):
        if "bars" in str(path):
            return real(path, lambda tmp: (_ for _ in ()).throw(OSError(28, "No space left on device")))
        return real(path, write)

    monkeypatch.setattr(parquet, "write_temporary", full)
    with Client([sim.address]) as client:
        report = store.sync(client, ["600519"], ["1d"], progress=False)
    (failure,) = report.failed.values()
    assert "No space left on device" in failure and "bars/freq=1d/bucket=" in failure


# -- the Client against servers that answer wrong


def late(body_command):
    """A reply that answers another request than the one asked."""
    return Reply(body=bytes(20), head=bytes(10) + struct.pack("<H", body_command))


CLIENT_FAULTS = {
    # fault: (replies, the call, what the error says)
    "reply to another request": ([late(0x053E)], lambda c: c.bars("600036"), "answered another request"),
    "trickled ex-rights": ([Reply(body=bytes(400), pieces=(1,) * 300, piece_delay=0.01)],
                           lambda c: c.xdxr("600036"), "no answer from"),
    "silent finance": ([Reply(silent=True)], lambda c: c.finance("600036"), "no answer from"),
    "endless report": ([Reply(body=struct.pack("<I", 30000) + bytes(30000))] * 40,
                       lambda c: c.report("f", max_size=1 << 20), "larger than the limit of 1,048,576 bytes"),
}  # fmt: skip


@pytest.mark.parametrize("fault", CLIENT_FAULTS)
def test_a_server_that_answers_wrong_is_an_error_in_time(standin, fault):
    replies, call, message = CLIENT_FAULTS[fault]
    standin.script(*replies)
    began = time.monotonic()
    with (
        Client([f"{standin.host}:{standin.port}"], timeout=1.0, retries=0) as client,
        pytest.raises((ServersFailed, ValueError), match=message),
    ):
        call(client)
    assert time.monotonic() - began < 5
