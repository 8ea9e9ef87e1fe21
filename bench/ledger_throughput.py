"""Payouts per second through the ledger's runner, next to the bare client at the same concurrency.

    .venv/bin/python bench/ledger_throughput.py [--payouts N] [--workers 1,4,16]

The simulator runs as its own process (final status on the first query, no trigger), so each
payout is one scan, one payment and one status query either way; the ledger adds its commits
(SQLite in WAL with synchronous=FULL, and a PostgreSQL server this script starts) and its claims.
Prints one Markdown table: payouts per second, time per payout, and the ledger's overhead.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from conftest import PostgresServer, SimulatorProcess  # noqa: E402

from quorvel_bo.payouts import AmbiguousPaymentError, Client  # noqa: E402
from quorvel_bo.payouts.ledger import ClientSettings, Ledger, RunOptions  # noqa: E402
from quorvel_bo.payouts.simulator import QR_FIXED_AMOUNT, TEST_CLIENT_ID, TEST_TOKEN  # noqa: E402

SOURCE = "2012345678"
OPTIONS = RunOptions(lease=30, grace=5, poll_interval=0.0, poll_max_interval=0.0, retry_interval=0.01,
                     retry_max_interval=0.1, inline_wait=1.0, idle_interval=0.01)


def bare(base_url: str, payouts: int, workers: int) -> float:
    """Seconds for ``payouts`` scan-pay-status rounds over ``workers`` threads sharing one client."""
    counter = iter(range(payouts))
    lock = threading.Lock()
    client = Client(TEST_CLIENT_ID, token=TEST_TOKEN, base_url=base_url)
    tag = os.urandom(3).hex()

    def work() -> None:
        while True:
            with lock:
                i = next(counter, None)
            if i is None:
                return
            scanned = client.scan(QR_FIXED_AMOUNT)
            try:
                client.pay(scanned, SOURCE, f"B{tag}-{workers}-{i}")
            except AmbiguousPaymentError:
                pass  # a dropped connection under load: the status below settles it
            client.resolve_payout(scanned.reference, poll_interval=0.0)

    started = time.perf_counter()
    threads = [threading.Thread(target=work) for _ in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    client.close()
    return time.perf_counter() - started


def through_ledger(db: str, base_url: str, payouts: int, workers: int) -> float:
    tag = os.urandom(3).hex()
    with Ledger(db) as ledger:
        for i in range(payouts):
            ledger.add_qr_payout(f"L{tag}-{workers}-{i}", QR_FIXED_AMOUNT, SOURCE)
        client = Client(TEST_CLIENT_ID, token=TEST_TOKEN, base_url=base_url)
        started = time.perf_counter()
        ledger.run(client, workers=workers, until_idle=True, options=OPTIONS)
        elapsed = time.perf_counter() - started
        client.close()
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--payouts", type=int, default=400)
    parser.add_argument("--workers", default="1,4,16")
    args = parser.parse_args()
    crews = [int(w) for w in args.workers.split(",")]
    with tempfile.TemporaryDirectory() as where:
        sim = SimulatorProcess(Path(where), "--settle-after", "1")
        postgres = PostgresServer()
        postgres.start()
        try:
            rows = []
            for workers in crews:
                plain = bare(sim.base_url, args.payouts, workers)
                sqlite = through_ledger(os.path.join(where, f"bench-{workers}.db"), sim.base_url, args.payouts, workers)
                pg = through_ledger(postgres.new_database(), sim.base_url, args.payouts, workers)
                rows.append((workers, plain, sqlite, pg))
        finally:
            postgres.stop()
            sim.close()
    n = args.payouts
    print(f"{n} payouts each; payouts per second (ms per payout); overhead = extra time per payout vs the bare client")
    print("| workers | bare client | ledger, SQLite | overhead | ledger, PostgreSQL | overhead |")
    print("|---:|---:|---:|---:|---:|---:|")
    for workers, plain, sqlite, pg in rows:
        def cell(seconds: float) -> str:
            return f"{n / seconds:.0f}/s ({1000 * seconds / n:.2f} ms)"

        print(f"| {workers} | {cell(plain)} | {cell(sqlite)} | {100 * (sqlite / plain - 1):+.0f}% "
              f"| {cell(pg)} | {100 * (pg / plain - 1):+.0f}% |")


if __name__ == "__main__":
    main()
