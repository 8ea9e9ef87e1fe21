"""Realistic payloads for the benchmarks: the texts a host sends to `call`, built deterministically."""

from __future__ import annotations

import json
from typing import Any

CONFIG = {"client_id": "bo-payouts-prod-7", "environment": "sandbox"}
TOKEN = {
    "access_token": "eyJhbGciOiJSUzI1NiIsInR5cCI6IkpXVCJ9.eyJzdWIiOiJiby1wYXlvdXRzIiwiZXhwIjoxNzY3MjI1NjAwfQ.c2ln",
    "token_type": "Bearer",
    "expires_at": 1767225600,
}
PROCESS_ID = "5b0f8f0e-2f7c-4d7e-9a53-0c5d2e7b9f11"
WEBHOOK_URL = "https://payouts.example.com/hooks/batch"
WEBHOOK_TOKEN = "s3cr3t-t0ken-2024-xyz"
BRANCH = "SUC-01"

CITIES = ["lpz", "scz", "cbb", "oru", "pot", "tja", "suc", "tri", "cob"]
FIRST = [
    "Maria",
    "Juan",
    "Carlos",
    "Ana",
    "Luis",
    "Rosa",
    "Jorge",
    "Elena",
    "Pedro",
    "Lucia",
]
LAST = [
    "Quispe",
    "Mamani",
    "Condori",
    "Flores",
    "Choque",
    "Vargas",
    "Rojas",
    "Gutierrez",
    "Apaza",
]
STATES = ["PAGADO", "PENDIENTE", "RECHAZADA", "EN_PROCESO"]


def _name(i: int) -> str:
    return f"{FIRST[i % len(FIRST)]} {LAST[(i // 7) % len(LAST)]} {LAST[(i // 3) % len(LAST)]}"


def _amount(i: int) -> str:
    return f"{100 + (i * 37) % 9000}.{(i * 13) % 100:02d}"


def transfer(i: int) -> dict[str, Any]:
    return {
        "transaction_id": f"TRX-{i:08d}",
        "amount": _amount(i),
        "date": f"2026-{1 + i % 12:02d}-{1 + i % 28:02d}",
        "source_account": "2012345678",
        "destination_account": f"{3000000000 + i * 7919:010d}",
        "bank_code": str(1001 + i % 12),
        "branch_city": CITIES[i % len(CITIES)],
        "description": f"Sueldo diciembre planilla {i % 40}",
        "recipient_document_id": str(4_500_000 + i),
        "recipient_name": _name(i),
    }


def authorize_build(count: int) -> str:
    batch = {
        "branch_code": BRANCH,
        "process_id": PROCESS_ID,
        "webhook_url": WEBHOOK_URL,
        "webhook_token": WEBHOOK_TOKEN,
        "transfers": [transfer(i) for i in range(count)],
    }
    return json.dumps({"config": CONFIG, "token": TOKEN, "input": batch})


def _wire_transfer(i: int) -> dict[str, Any]:
    return {
        "nroLote": 7781,
        "transaccionId": f"TRX-{i:08d}",
        "numeroReferencia": 880_000_000 + i,
        "estado": STATES[i % len(STATES)],
        "mensaje": "Transferencia procesada" if i % 4 == 0 else None,
        "cuentaOrigen": "2012345678",
        "cuentaDestino": f"{3000000000 + i * 7919:010d}",
        "numeroAch": f"ACH{i:09d}",
        "numeroDestinatario": f"{70000000 + i}",
        "ciCliente": str(4_500_000 + i),
        "nombreCliente": _name(i),
        "fechaHoraTransaccion": f"2026-12-07T{8 + i % 10:02d}:{i % 60:02d}:{(i * 7) % 60:02d}",
        "codigoBanco": 1001 + i % 12,
        "nombreBanco": "Banco Union S.A.",
        "importe": float(_amount(i)),
        "moneda": "BOB",
    }


def status_parse(count: int) -> str:
    query = {"branch_code": BRANCH, "process_id": PROCESS_ID, "batch_number": "7781"}
    body = {
        "code": "00",
        "data": {
            "nroLote": 7781,
            "transacciones": [_wire_transfer(i) for i in range(count)],
        },
    }
    return json.dumps(
        {"input": query, "response": {"status": 200, "body": json.dumps(body)}}
    )


def webhook_parse() -> str:
    body = json.dumps(_wire_transfer(42))
    return json.dumps(
        {"token": WEBHOOK_TOKEN, "body": body, "expected_token": WEBHOOK_TOKEN}
    )


SCAN_INPUT = {
    "qr_text": "00020101021226580014BO.QUORVEL.QR01101045892012020000100000458215204000053030685406150.00"
    "5802BO5921COMERCIAL ANDINA SRL6006LA PAZ62150511Factura 88163048F2A"
}


def scan_parse() -> str:
    body = {
        "code": "00",
        "message": "Operacion exitosa",
        "data": {
            "numeroReferencia": 104589,
            "importe": 150.00,
            "moneda": "BOB",
            "glosa": "Factura 881",
            "cuentaDestino": 10000045821,
            "ciNitDestino": "1020304025",
            "titularDestino": "Comercial Andina SRL",
            "codigoBancoDestino": 1001,
            "nombreBancoDestino": "Banco Union S.A.",
            "fechaVencimiento": "2026-12-31",
        },
    }
    return json.dumps(
        {"input": SCAN_INPUT, "response": {"status": 200, "body": json.dumps(body)}}
    )


SCANNED = {
    "amount": "150",
    "currency": "BOB",
    "description": "Factura 881",
    "expires_on": "2026-12-31",
    "recipient": {
        "account": "10000045821",
        "bank_code": "1001",
        "bank_name": "Banco Union S.A.",
        "document_id": "1020304025",
        "holder": "Comercial Andina SRL",
    },
    "reference": "104589",
}
PAY_INPUT = {
    "scanned": SCANNED,
    "source_account": "2012345678",
    "transaction_id": "ord-2024-0001",
}


def pay_build() -> str:
    return json.dumps({"config": CONFIG, "token": TOKEN, "input": PAY_INPUT})


def pay_parse() -> str:
    body = {
        "code": "00",
        "message": "Operacion exitosa",
        "data": {
            "numeroReferencia": "104589",
            "transaccionId": "88122",
            "fechaHoraTransaccion": "2026-12-07T10:15:30",
            "estado": "PENDIENTE",
            "importe": "150.00",
            "moneda": "BOB",
            "glosa": "Factura 881",
            "cuentaOrigen": "2012345678",
            "titularOrigen": "Importadora del Sur Ltda",
            "cuentaDestino": "10000045821",
            "titularDestino": "Comercial Andina SRL",
            "codigoBancoDestino": 1001,
            "nombreBancoDestino": "Banco Union S.A.",
            "numOrdenAch": 5520981,
        },
    }
    return json.dumps(
        {"input": PAY_INPUT, "response": {"status": 200, "body": json.dumps(body)}}
    )


# (label, operation, payload factory); the label names the row of the table.
CASES: list[tuple[str, str, Any]] = [
    ("version", "version", lambda: ""),
    ("describe", "describe", lambda: ""),
    ("payouts.scan.parse", "payouts.scan.parse", scan_parse),
    ("payouts.pay.build", "payouts.pay.build", pay_build),
    ("payouts.pay.parse", "payouts.pay.parse", pay_parse),
    ("batch.webhook.parse", "batch.webhook.parse", webhook_parse),
    ("batch.status.parse 10k", "batch.status.parse", lambda: status_parse(10_000)),
    ("batch.authorize.build 10", "batch.authorize.build", lambda: authorize_build(10)),
    (
        "batch.authorize.build 1k",
        "batch.authorize.build",
        lambda: authorize_build(1_000),
    ),
    (
        "batch.authorize.build 100k",
        "batch.authorize.build",
        lambda: authorize_build(100_000),
    ),
]
