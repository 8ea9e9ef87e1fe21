"""Payouts client core for a Bolivian payment network's payout API.

One function does the work: ``call(op, payload)`` takes an operation name and a JSON
text and returns a JSON result document, either ``{"ok":true,"value":...}`` or
``{"error":{...},"ok":false}``. It performs no I/O: the build stage of a remote
operation describes the HTTP request to send, the parse stage reads the provider's
response. ``call("describe", "")`` lists the operations.

``PROTOCOL_VERSION`` is the version of that document format; ``__version__`` the
package version.
"""

from quorvel_bo.payouts._native import PROTOCOL_VERSION, __version__, call

__all__ = ["call", "PROTOCOL_VERSION", "__version__"]
