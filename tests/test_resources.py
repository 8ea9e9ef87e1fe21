"""Resources: memory stays flat over a million calls, huge and deeply nested payloads are answered
with documents in bounded memory, and calls from many threads give the answers of one."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import threading
from typing import Any

import pytest
from conftest import PROCESS_ID, TRANSFER

from quorvel_bo.payouts import _native

# Under the sanitizers memory is not the process's own (quarantine, shadow) and calls are slower:
# the same inputs run, smaller, and the memory bounds are not asserted.
SANITIZED = bool(os.environ.get("QBO_SANITIZED"))

CONFIG = {"client_id": "cli-1", "environment": "sandbox"}
TOKEN = {"access_token": "tok-1", "token_type": "Bearer", "expires_at": 1_900_000_000}
SECRET = "Abc-def_ghi.jkl~0"
SCANNED: dict[str, Any] = {"reference": "123", "amount": "0", "currency": "BOB", "description": None, "recipient": {}}
BATCH = {"branch_code": "SUC-01", "process_id": PROCESS_ID, "webhook_url": "https://h.example/hook",
         "webhook_token": SECRET, "transfers": [TRANSFER, {**TRANSFER, "transaction_id": "TX-0002"}]}


def build(inp: Any) -> str:
    return json.dumps({"config": CONFIG, "token": TOKEN, "input": inp})


def parse(inp: Any, status: int, body: Any) -> str:
    text = body if isinstance(body, str) else json.dumps(body)
    return json.dumps({"input": inp, "response": {"status": status, "body": text}})


# Every operation and handler, each through success and through its failure paths.
MIXED_CALLS = [
    ("version", ""),
    ("describe", ""),
    ("payouts.scan.build", build({"qr_text": "000201010212 demo"})),
    ("payouts.scan.parse", parse({"qr_text": "x"}, 200, {"code": "00", "data": {
        "numeroReferencia": 104589, "importe": 150.00, "moneda": "BOB", "glosa": "Factura \u00f1 881",
        "cuentaDestino": 10000045821, "titularDestino": "Comercial Andina SRL"}})),
    ("payouts.pay.build", build({"scanned": SCANNED, "source_account": "2012345678", "transaction_id": "ord-1",
                                 "amount": "25.50", "description": "Pago"})),
    ("payouts.pay.build", build({"scanned": SCANNED, "source_account": "20", "transaction_id": "ord-1"})),
    ("payouts.pay.parse", parse({}, 200, {"code": "96", "message": "tiempo de espera agotado"})),
    ("payouts.pay.parse", parse({}, 503, "Service Unavailable")),
    ("payouts.status.build", build({"reference": "104589"})),
    ("payouts.status.parse", parse({"reference": "1"}, 200, {"code": "00", "data": {
        "numeroReferencia": "104589", "estado": "PAGADO", "importe": "1e-29"}})),
    ("payouts.status.parse", parse({"reference": "1"}, 401, {"error_description": "expired token"})),
    ("batch.banks.build", build({"branch_code": "SUC-01"})),
    ("batch.banks.parse", parse({"branch_code": "SUC-01"}, 200, {"code": "00", "data": [
        {"codigoBanco": 1001, "descripcion": "Banco Union"}, {"codigoBanco": "1014", "descripcion": "Banco Sol"}]})),
    ("batch.authorize.build", build(BATCH)),
    ("batch.authorize.build", build({**BATCH, "transfers": [TRANSFER, TRANSFER]})),
    ("batch.authorize.parse", parse(BATCH, 200, {"code": "00", "data": {"nroLote": 7781, "processId": PROCESS_ID,
                                                 "transacciones": [{"transaccionId": "TX-0001", "estado": "PENDIENTE"}]}})),
    ("batch.authorize.parse", parse(BATCH, 400, {"code": "12", "message": "campo; otro campo", "data": ["a", "b"]})),
    ("batch.status.build", build({"branch_code": "SUC-01", "process_id": PROCESS_ID, "transaction_id": "TX-0001"})),
    ("batch.status.parse", parse({}, 200, '{"code":"00","data":{"nroLote":1,"transacciones":[{"estado":"PAGADO",'
                                          '"importe":1.5}]}} trailing')),
    ("batch.webhook.parse", json.dumps({"token": SECRET, "expected_token": SECRET, "body": json.dumps(
        {"nroLote": 7781, "transaccionId": "TX-0001", "estado": "PAGADO", "importe": "1250.50"})})),
    ("batch.webhook.parse", json.dumps({"token": "wrong", "expected_token": SECRET, "body": "{}"})),
    ("batch.nothing.build", "{}"),
    ("payouts.scan.build", '{"config": [1, 2, {"x": "\\ud800"}]'),
    ("no such operation", "\u20ac"),
]


def memory_kib(field: str) -> int:
    """A memory figure of this process from /proc/self/status (VmRSS now, VmHWM the peak)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_mixed(rounds: int) -> None:
    call = _native.call
    for _ in range(rounds):
        for op, payload in MIXED_CALLS:
            call(op, payload)


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' own memory hides the process's growth")
def test_a_million_mixed_calls_keep_memory_flat() -> None:
    rounds = 1_000_000 // len(MIXED_CALLS)
    warm_up = rounds // 20
    run_mixed(warm_up)
    before = rss_bytes()
    run_mixed(rounds - warm_up)
    growth = rss_bytes() - before
    # A leak of even 8 bytes a call would be 8 MB here.
    assert growth < 4 * 1024 * 1024, f"resident memory grew by {growth} bytes over {rounds * len(MIXED_CALLS)} calls"


def test_calls_leave_their_arguments_reference_counts_alone() -> None:
    op, payload = "batch.authorize.build", build(BATCH)
    before = (sys.getrefcount(op), sys.getrefcount(payload))
    for _ in range(1000):
        _native.call(op, payload)
        _native.call(op=op, payload=payload)
    assert (sys.getrefcount(op), sys.getrefcount(payload)) == before


# --- big and deep payloads ------------------------------------------------------------------------------------

MEGABYTES = 5 if SANITIZED else 50
# Reader, DOM and the decoded records together: a generous linear bound, far below what a
# quadratic copy or an unbounded buffer would take.
GROWTH_PER_PAYLOAD_BYTE = 20

# Each script sets `op` and `payload` of about `size` bytes; `doc` is checked by the test.
BIG_PAYLOADS = {
    "webhook_body_string": """
        body = '{"estado":"PAGADO","mensaje":"' + "x" * size + '"}'
        op = "batch.webhook.parse"
        payload = json.dumps({"token": SECRET, "expected_token": SECRET, "body": body})
    """,
    "batch_of_many_transfers": """
        one = json.dumps(TRANSFER).replace("TX-0001", "TX%09d")
        items = ",".join([one] * (size // len(one))) % tuple(range(size // len(one)))
        op = "batch.authorize.build"
        payload = build(BATCH | {"transfers": []}).replace('"transfers": []', '"transfers": [' + items + "]")
    """,
    "small_values_under_an_ignored_key": """
        op = "payouts.status.build"
        junk = ",".join(['{"a":[1,2.5,"x",null,true]}'] * (size // 28))
        payload = build({"reference": "1"})[:-1] + ', "junk": [' + junk + "]}"
    """,
    "escapes_in_a_request_text": """
        op = "payouts.scan.build"
        unit = chr(34) + chr(92) + chr(10) + chr(0xE9)  # 12 bytes once escaped in the payload
        payload = build({"qr_text": unit * (size // 12)})
    """,
    "one_long_number": """
        op = "payouts.pay.build"
        payload = build({"scanned": SCANNED, "source_account": "1234567", "transaction_id": "t",
                         "amount": "1." + "0" * size, "description": "Pago"})
    """,
}


def run_in_child(setup: str) -> dict[str, Any]:
    """Runs `setup` in a fresh interpreter, calls once and reports the result and the peak memory."""
    script = textwrap.dedent("""
        import json, sys
        from quorvel_bo.payouts import _native
        from test_resources import BATCH, SCANNED, SECRET, TRANSFER, build, memory_kib
        size = {size}
        {setup}
        payload.encode()  # the UTF-8 form the call reads is cached on the str: not the call's memory
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # restarts the peak at the present size
        base = memory_kib("VmRSS")
        doc = _native.call(op, payload)
        growth = (memory_kib("VmHWM") - base) * 1024
        json.dump({{"size": len(payload.encode()), "growth": growth, "doc": doc}}, sys.stdout)
    """).format(size=MEGABYTES * 1024 * 1024, setup=textwrap.indent(textwrap.dedent(setup).strip(), ""))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.path.dirname(__file__),
                                                                      os.environ.get("PYTHONPATH")])))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, check=False,
                          timeout=600)
    assert done.returncode == 0, done.stderr
    result: dict[str, Any] = json.loads(done.stdout)
    return result


@pytest.mark.parametrize("shape", sorted(BIG_PAYLOADS))
def test_big_payloads_are_answered_in_bounded_memory(shape: str) -> None:
    result = run_in_child(BIG_PAYLOADS[shape])
    document = json.loads(result["doc"])
    assert document["ok"] is True, result["doc"][:300]
    assert result["size"] >= MEGABYTES * 1024 * 1024 * 0.9
    if not SANITIZED:
        assert result["growth"] < GROWTH_PER_PAYLOAD_BYTE * result["size"], result["growth"]


DEPTH = 100_000
RECURSION = "recursion limit exceeded"


DEEP_BODY = {"token": SECRET, "expected_token": SECRET, "body": "[" * DEPTH + "]" * DEPTH}


@pytest.mark.parametrize(
    ("op", "payload", "kind"),
    [
        ("payouts.scan.build", "[" * DEPTH + "]" * DEPTH, "ffi"),
        ("payouts.scan.build", '{"a":' * DEPTH + "1" + "}" * DEPTH, "ffi"),
        ("batch.webhook.parse", "[" * DEPTH, "ffi"),
        ("payouts.status.build", build({"reference": "1"})[:-1] + ', "x": ' + "[{}," * DEPTH + "]", "ffi"),
        ("batch.authorize.build", build({**BATCH, "transfers": "@"}).replace('"@"', "[" * DEPTH + "]" * DEPTH), "ffi"),
        # A provider's or a notification's body is read as a text of its own.
        ("payouts.status.parse", parse({"reference": "1"}, 200, "[" * DEPTH + "]" * DEPTH), "decode"),
        ("payouts.status.parse", parse({"reference": "1"}, 200, '{"data":' * DEPTH), "decode"),
        ("batch.webhook.parse", json.dumps(DEEP_BODY), "decode"),
    ],
    ids=["arrays", "objects", "unclosed", "under_an_ignored_key", "in_a_record_field", "provider_arrays",
         "provider_objects", "webhook_body"],
)
def test_deep_payloads_are_refused_with_a_document(op: str, payload: str, kind: str) -> None:
    document = json.loads(_native.call(op, payload))
    assert document["error"]["kind"] == kind
    assert RECURSION in document["error"]["message"]


# --- threads --------------------------------------------------------------------------------------------------

THREADS = 8


def test_calls_from_eight_threads_answer_as_one_thread() -> None:
    rounds = 50
    expected = [_native.call(op, payload) for op, payload in MIXED_CALLS]
    results: list[list[str]] = [[] for _ in range(THREADS)]
    start = threading.Barrier(THREADS)

    def worker(slot: int) -> None:
        start.wait()
        calls = MIXED_CALLS[slot:] + MIXED_CALLS[:slot]  # each thread in its own order
        for _ in range(rounds):
            results[slot].extend(_native.call(op, payload) for op, payload in calls)

    threads = [threading.Thread(target=worker, args=(slot,)) for slot in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for slot in range(THREADS):
        rotated = expected[slot:] + expected[:slot]
        assert results[slot] == rotated * rounds
