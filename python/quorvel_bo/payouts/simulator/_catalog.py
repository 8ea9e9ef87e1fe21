"""Fixed data of the simulated provider: credentials, sample QR codes, banks, result codes and triggers."""

from __future__ import annotations

from dataclasses import dataclass
from decimal import Decimal
from typing import Final

# Credentials the simulator accepts unless told otherwise. They protect nothing: they only let
# tests exercise the client's headers and its handling of rejected credentials.
TEST_TOKEN: Final = "sim-test-token-7f3c9a1e5b2d4f60"
TEST_CLIENT_ID: Final = "sim-client"

# Known QR texts. Each scan of one of them issues a fresh reference number, so the same text can
# be paid again and again.
QR_FIXED_AMOUNT: Final = "SIMQR-FIJO-150"
QR_OPEN_AMOUNT: Final = "SIMQR-ABIERTO"
QR_FIXED_USD: Final = "SIMQR-FIJO-USD"

# Trigger prefixes: a value that starts with one of them makes the simulator misbehave on purpose.
TRIGGER_AMBIGUOUS_94: Final = "SIM94"
TRIGGER_AMBIGUOUS_96: Final = "SIM96"
TRIGGER_REJECT: Final = "SIMREJ"
TRIGGER_UNAVAILABLE: Final = "SIM503"
TRIGGER_SLOW: Final = "SIMSLOW"
TRIGGER_UNAUTHORIZED: Final = "SIM401"
TRIGGER_MALFORMED: Final = "SIMBAD"

# Result codes of the code/data envelope.
CODE_OK: Final = "00"
CODE_QR_UNKNOWN: Final = "01"
CODE_INVALID: Final = "05"
CODE_AMOUNT: Final = "13"
CODE_NOT_FOUND: Final = "14"
CODE_DUPLICATE: Final = "21"
CODE_REJECTED: Final = "51"
CODE_IN_VERIFICATION: Final = "94"
CODE_SWITCH_TIMEOUT: Final = "96"

MSG_QR_UNKNOWN: Final = "QR inválido o no reconocido"
MSG_INVALID: Final = "datos de la solicitud inválidos"
MSG_BAD_JSON: Final = "el cuerpo de la solicitud no es JSON válido"
MSG_REJECTED: Final = "fondos insuficientes; cuenta origen con restricciones; límite diario excedido"
MSG_IN_VERIFICATION: Final = "transacción en proceso de verificación, consulte el estado"
MSG_SWITCH_TIMEOUT: Final = "tiempo de espera agotado con el banco destino"
MSG_SWITCH_FAILED: Final = "el banco destino no confirmó la operación"
MSG_TRANSFER_REJECTED: Final = "cuenta destino inexistente"
MSG_BANK_DISABLED: Final = "banco destino no habilitado"
MSG_TOKEN: Final = "token de acceso inválido o ausente"
MSG_TOKEN_EXPIRED: Final = "el token de acceso expiró"
MSG_CLIENT: Final = "client_id no reconocido"
MSG_BRANCH: Final = "cabecera branchCode ausente o inválida"
MSG_ROUTE: Final = "recurso no encontrado"
MSG_METHOD: Final = "método no permitido"
BODY_UNAVAILABLE: Final = "<html><body><h1>503 Service Unavailable</h1>servicio no disponible</body></html>"
BODY_MALFORMED: Final = '{"code":"00","data":{"numeroReferencia":'

# Status words of the provider.
PENDING: Final = "PENDIENTE"
IN_PROGRESS: Final = "EN_PROCESO"
PAID: Final = "PAGADO"
REJECTED: Final = "RECHAZADO"


@dataclass(frozen=True)
class QrCode:
    """A sample QR: what a scan of its text reports."""

    text: str
    amount: Decimal | None
    currency: str
    description: str | None
    account: str
    document_id: str
    holder: str
    bank_code: str
    bank_name: str
    expires_on: str | None


QR_CODES: Final = {
    qr.text: qr
    for qr in (
        QrCode(
            QR_FIXED_AMOUNT, Decimal("150.00"), "BOB", "Factura 881", "10000045821", "1020304025",
            "Comercial Andina SRL", "1001", "Banco Union", "2030-12-31",
        ),
        QrCode(
            QR_OPEN_AMOUNT, None, "BOB", None, "3004567812", "4589123",
            "Maria Quispe", "1003", "Banco del Altiplano", None,
        ),
        QrCode(
            QR_FIXED_USD, Decimal("25.50"), "USD", "Suscripción anual", "20078800012", "7788990011",
            "Servicios Illimani SA", "1004", "Cooperativa Illimani", "2030-06-30",
        ),
    )
}

# The banks that batch transfers may go to: code and name.
BANKS: Final = {
    "1001": "Banco Union",
    "1002": "Banco Andino",
    "1003": "Banco del Altiplano",
    "1004": "Cooperativa Illimani",
    "1005": "Banco Chiquitano",
}

# The account that pays QR payouts in the simulator's answers.
SOURCE_HOLDER: Final = "Empresa Demo SRL"
