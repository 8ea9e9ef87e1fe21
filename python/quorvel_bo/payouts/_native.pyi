from typing import Final

__all__ = ["call", "__version__", "PROTOCOL_VERSION"]

__version__: Final[str]
PROTOCOL_VERSION: Final[int]

class PanicException(BaseException): ...

def call(op: str, payload: str) -> str:
    """Runs a payout operation; `payload` and the result are JSON strings
    (see `quorvel_bo_core::ffi`)."""
