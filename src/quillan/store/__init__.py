"""quillan.Store: a local copy of the market as a folder of Parquet files, queried with SQL.

One module per concern: `files` (where each file lives, the write lock), `layout` (buckets and
series), `parquet` (reading and writing the files), `writer` (a writing run), `factors`
(ex-rights records and adjustment factors), `state` (sync.json), `report` (what a run did),
`sync` (from quote servers), `terminal` (from a terminal's folder), `sql` (the DuckDB views),
`bydate` (the daily bars by date), `checks` (verify), `listing` (each daily bucket's summary),
`universe` (calendar, securities, gaps), `qlib` (the qlib export) and `store` (the Store that
ties them together).
"""

from quillan.store.files import StoreBusyError, default_store_path
from quillan.store.layout import FREQS
from quillan.store.report import Interrupted, SyncReport
from quillan.store.store import Store

__all__ = ["FREQS", "Interrupted", "Store", "StoreBusyError", "SyncReport", "default_store_path"]
