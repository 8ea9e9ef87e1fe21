"""The README's recovery example, run as written against the simulator."""

from __future__ import annotations

import pathlib
import re
from typing import Any

import pytest

from quorvel_bo.payouts import Client, PaymentStatus
from quorvel_bo.payouts.simulator import QR_FIXED_AMOUNT, TEST_CLIENT_ID, TEST_TOKEN, Settings, Simulator

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


def _example() -> dict[str, Any]:
    text = README.read_text(encoding="utf-8")
    block = re.search(r"<!-- The test suite runs this example against the simulator. -->\n```python\n(.*?)```", text, re.S)
    assert block, "the recovery example is missing from the README"
    namespace: dict[str, Any] = {}
    exec(compile(block.group(1), str(README), "exec"), namespace)
    return namespace


@pytest.mark.timeout(20)
@pytest.mark.parametrize(
    ("transaction_id", "status"),
    [("ORD-1", PaymentStatus.PAID), ("SIM503-1", PaymentStatus.PAID), ("SIM94-1", PaymentStatus.PAID),
     ("SIM96-1", PaymentStatus.REJECTED), ("SIMSLOW-1", PaymentStatus.PAID)],
)
def test_pay_once_settles_every_payment(transaction_id: str, status: PaymentStatus) -> None:
    pay_once = _example()["pay_once"]
    with Simulator(settings=Settings(settle_after=1, slow_delay=1.0)) as sim:
        client = Client(TEST_CLIENT_ID, token=TEST_TOKEN, base_url=sim.base_url, timeout=0.5)
        payout = pay_once(client, QR_FIXED_AMOUNT, "2012345678", transaction_id, grace=0.0)
        assert (payout.status, payout.transaction_id is not None) == (status, True)
