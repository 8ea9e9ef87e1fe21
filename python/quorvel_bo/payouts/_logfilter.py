"""Keeps the webhook secret out of logs: it travels as the ``token`` query parameter of the notification URL."""

from __future__ import annotations

import logging
import re

__all__ = ["RedactingFilter", "redact_secrets"]

REDACTED = "[redacted]"

# The value runs to the next "&", whitespace, quotation mark or the end. Any name that ends in
# "token" (access_token too) is covered: hiding one value too many in a log costs nothing.
_TOKEN_VALUE = re.compile(r'(token=)[^&\s"]*', re.IGNORECASE)

# Arguments that never hold a secret, kept as they are so that "%d" and the like still format.
_PLAIN = (int, float, bytes, type(None))


def redact_secrets(text: str) -> str:
    """``text`` with the value of every ``token=`` query parameter replaced by ``[redacted]``."""
    if "=" not in text:
        return text
    return _TOKEN_VALUE.sub(lambda m: m.group(1) + REDACTED, text)


def _redact_argument(value: object) -> object:
    if isinstance(value, str):
        return redact_secrets(value)
    if isinstance(value, _PLAIN):
        return value
    try:
        shown = str(value)
    except Exception:  # noqa: BLE001 - an argument that cannot be shown cannot leak through "%s" either
        return value
    redacted = redact_secrets(shown)
    # Only a value that would leak is replaced by its text; others keep their type for "%r" and "%d".
    return redacted if redacted != shown else value


class RedactingFilter(logging.Filter):
    """A logging filter that redacts ``token=`` values in a record's message and arguments.

    Attach it to the logger (or handler) of a web server's access log, for instance
    ``logging.getLogger("uvicorn.access").addFilter(RedactingFilter())``. It never drops a record.
    """

    def filter(self, record: logging.LogRecord) -> bool:
        record.msg = _redact_argument(record.msg)
        args = record.args
        if isinstance(args, tuple):
            record.args = tuple(_redact_argument(value) for value in args)
        elif args:
            # A single mapping given as the only argument ("%(path)s" formatting).
            record.args = {key: _redact_argument(value) for key, value in args.items()}
        return True
