"""The one place where SQLite and PostgreSQL differ: connecting, placeholders, transactions and the claim.

The rest of the ledger writes its SQL once, with ``?`` placeholders, and runs it inside
``Engine.transaction()``; rows come back as plain dicts.
"""

from __future__ import annotations

import os
import sqlite3
import threading
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any
from urllib.parse import unquote, urlsplit

__all__ = ["CLAIMABLE", "DEFAULT_DB", "DUE", "Engine", "Tx", "describe_url", "open_engine"]

#: The embedded default when no database is named.
DEFAULT_DB = "payouts.db"

Row = dict[str, Any]

# Rows a worker may take: not final, due, and not leased (or leased to someone whose lease ran out).
_CLAIMABLE = "active = 1 AND next_at <= ? AND COALESCE(lease_until, 0) < ?"
CLAIMABLE = _CLAIMABLE
# When an unfinished row can next be claimed: when it is due, or when the lease on it runs out.
DUE = "CASE WHEN COALESCE(lease_until, 0) > next_at THEN lease_until ELSE next_at END"

# Rows of an event table are history: no engine may change or remove them once written.
def _sqlite_guard(table: str) -> tuple[str, ...]:
    return tuple(
        f"CREATE TRIGGER IF NOT EXISTS {table}_no_{verb.lower()} BEFORE {verb} ON {table} "
        f"BEGIN SELECT RAISE(ABORT, '{table} is append-only'); END"
        for verb in ("UPDATE", "DELETE")
    )


def _postgres_guard(table: str) -> tuple[str, ...]:
    return (
        f"CREATE OR REPLACE FUNCTION {table}_append_only() RETURNS trigger LANGUAGE plpgsql AS "
        f"$$ BEGIN RAISE EXCEPTION '{table} is append-only'; END $$",
        f"CREATE TRIGGER {table}_append_only BEFORE UPDATE OR DELETE ON {table} "
        f"FOR EACH ROW EXECUTE FUNCTION {table}_append_only()",
    )


# The tables work is claimed from, and their keys.
_CLAIM_KEYS = {"payouts": "key", "batches": "process_id"}


# Any constant shared by every process of one database: the key of the lock that serialises schema changes.
_SCHEMA_LOCK_KEY = 0x51B0_1ED6


class Tx:
    """One open transaction: ``execute`` returns the rows (RETURNING or SELECT) and sets ``rowcount``."""

    def __init__(self, cursor: Any, convert: Any, *, single: bool = False) -> None:
        self._cursor = cursor
        self._convert = convert
        self._single = single
        self._used = False
        self.rowcount = 0

    def execute(self, sql: str, params: Sequence[Any] = ()) -> list[Row]:
        if self._single and self._used:
            # A second statement would be a transaction of its own: not atomic with the first.
            raise RuntimeError("a single-statement transaction runs one statement")
        self._used = True
        cursor = self._cursor
        cursor.execute(self._convert(sql), tuple(params))
        rows: list[Row] = []
        if cursor.description is not None:
            names = [d[0] for d in cursor.description]
            rows = [r if isinstance(r, dict) else dict(zip(names, r)) for r in cursor.fetchall()]
        self.rowcount = cursor.rowcount
        return rows

    def one(self, sql: str, params: Sequence[Any] = ()) -> Row | None:
        rows = self.execute(sql, params)
        return rows[0] if rows else None


class Engine:
    """A connection to one ledger database; one per thread."""

    name: str = ""
    #: Whether a claim first looks for due rows with a plain read (SQLite's write lock is the whole file).
    probe_before_claim = True
    #: Whether one statement can change a row, append its events and claim the next row (a writing WITH).
    writing_with = False

    def transaction(self, *, write: bool = True, single: bool = False) -> Any:  # a context manager of Tx
        """A transaction, committed when the block ends. ``single``: the block runs one statement."""
        raise NotImplementedError

    def claim(self, tx: Tx, owner: str, now: int, lease_until: int, table: str = "payouts") -> Row | None:
        """Leases the most overdue claimable row of ``table`` (payouts or batches) to ``owner``, or returns None."""
        raise NotImplementedError

    def lock_schema(self, tx: Tx) -> None:
        """Serialises schema creation between processes (inside the transaction)."""

    def lock_batch(self, tx: Tx, process_id: str) -> None:
        """Holds the batch's row until the transaction ends, so that completion checks take turns."""

    def append_only_guard(self, table: str = "payout_events") -> Sequence[str]:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError


class SqliteEngine(Engine):
    """SQLite from the standard library: WAL, ``synchronous=FULL``, writers serialised by ``BEGIN IMMEDIATE``."""

    name = "sqlite"

    def __init__(self, path: str, busy_timeout: float = 60.0) -> None:
        self.path = path
        directory = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(directory):
            raise FileNotFoundError(f"no such directory for the ledger database: {directory}")
        self._conn = sqlite3.connect(path, timeout=busy_timeout, isolation_level=None, check_same_thread=False)
        self._lock = threading.Lock()
        self._conn.execute(f"PRAGMA busy_timeout = {int(busy_timeout * 1000)}")
        # WAL lets readers go on while one writer commits; FULL makes each commit survive a power loss.
        self._conn.execute("PRAGMA journal_mode = WAL")
        self._conn.execute("PRAGMA synchronous = FULL")
        self._conn.execute("PRAGMA foreign_keys = ON")

    @contextmanager
    def transaction(self, *, write: bool = True, single: bool = False) -> Iterator[Tx]:
        with self._lock:
            cursor = self._conn.cursor()
            # IMMEDIATE takes the write lock at once: a read-then-write can never be refused half-way.
            cursor.execute("BEGIN IMMEDIATE" if write else "BEGIN")
            try:
                yield Tx(cursor, _same, single=single)
                cursor.execute("COMMIT")
            except BaseException:
                if self._conn.in_transaction:
                    self._conn.rollback()
                raise
            finally:
                cursor.close()

    def claim(self, tx: Tx, owner: str, now: int, lease_until: int, table: str = "payouts") -> Row | None:
        key = _CLAIM_KEYS[table]
        # One statement: the choice and the lease cannot be split by another writer.
        return tx.one(
            f"UPDATE {table} SET lease_owner = ?, lease_until = ? WHERE {key} = "
            f"(SELECT {key} FROM {table} WHERE {_CLAIMABLE} ORDER BY next_at, {key} LIMIT 1) RETURNING *",
            (owner, lease_until, now, now),
        )

    def append_only_guard(self, table: str = "payout_events") -> Sequence[str]:
        return _sqlite_guard(table)

    def close(self) -> None:
        self._conn.close()


class PostgresEngine(Engine):
    """PostgreSQL through psycopg 3; claims skip the rows other workers hold locked."""

    name = "postgresql"
    probe_before_claim = False
    writing_with = True

    def __init__(self, url: str) -> None:
        try:
            import psycopg
            from psycopg.rows import dict_row
        except ImportError as exc:  # the optional extra is missing
            raise RuntimeError(
                "a PostgreSQL ledger needs psycopg 3: pip install 'quorvel-bo-payouts[postgres]'"
            ) from exc
        self._conn = psycopg.connect(url, autocommit=True, row_factory=dict_row)
        self._lock = threading.Lock()

    @contextmanager
    def transaction(self, *, write: bool = True, single: bool = False) -> Iterator[Tx]:
        if write and not single:
            with self._lock, self._conn.transaction(), self._conn.cursor() as cursor:
                yield Tx(cursor, _pyformat)
            return
        # Each round trip to the server counts. One statement in autocommit is a transaction of its
        # own, committed (durably) before its answer comes back, so BEGIN and COMMIT add nothing to it;
        # and reads need none either, since READ COMMITTED gives every statement its own snapshot anyway.
        with self._lock, self._conn.cursor() as cursor:
            yield Tx(cursor, _pyformat, single=write)

    def claim(self, tx: Tx, owner: str, now: int, lease_until: int, table: str = "payouts") -> Row | None:
        key = _CLAIM_KEYS[table]
        return tx.one(
            f"WITH c AS (SELECT {key} FROM {table} WHERE {_CLAIMABLE} ORDER BY next_at, {key} LIMIT 1 "
            "FOR UPDATE SKIP LOCKED) "
            f"UPDATE {table} p SET lease_owner = ?, lease_until = ? FROM c WHERE p.{key} = c.{key} RETURNING p.*",
            (now, now, owner, lease_until),
        )

    def lock_schema(self, tx: Tx) -> None:
        tx.execute("SELECT pg_advisory_xact_lock(?)", (_SCHEMA_LOCK_KEY,))

    def lock_batch(self, tx: Tx, process_id: str) -> None:
        # Under READ COMMITTED two writers finishing a batch's last transfers would each see the
        # other's still open; with the row held, the second check starts after the first commits.
        tx.execute("SELECT process_id FROM batches WHERE process_id = ? FOR UPDATE", (process_id,))

    def append_only_guard(self, table: str = "payout_events") -> Sequence[str]:
        return _postgres_guard(table)

    def close(self) -> None:
        self._conn.close()


def _same(sql: str) -> str:
    return sql


def _pyformat(sql: str) -> str:
    # Our SQL holds no literal '?' or '%': every '?' is a parameter.
    return sql.replace("?", "%s")


def _sqlite_path(url: str) -> str:
    if url.startswith("sqlite:///"):
        # sqlite:///relative/path and sqlite:////absolute/path
        return unquote(url[len("sqlite:///") :])
    if url.startswith("sqlite://"):
        raise ValueError(f"a SQLite URL names a file: sqlite:///relative/path or sqlite:////absolute/path, not {url!r}")
    return url


def open_engine(url: str | None) -> Engine:
    """The engine for a database URL: a file path or ``sqlite:///path`` (SQLite), ``postgresql://...``."""
    url = url or DEFAULT_DB
    if url.startswith(("postgresql://", "postgres://")):
        return PostgresEngine(url)
    if "://" in url and not url.startswith("sqlite:"):
        raise ValueError(f"unsupported database URL (use a file path, sqlite:///path or postgresql://...): {url!r}")
    return SqliteEngine(_sqlite_path(url))


def describe_url(url: str | None) -> str:
    """The database URL without its password, for messages."""
    url = url or DEFAULT_DB
    if "://" not in url:
        return url
    parts = urlsplit(url)
    if parts.password is None:
        return url
    netloc = parts.netloc.replace(f":{parts.password}@", ":***@", 1)
    return parts._replace(netloc=netloc).geturl()
