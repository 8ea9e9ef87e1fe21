"""Command line for the payouts core: ``quorvel-payouts --help`` or ``python -m quorvel_bo.payouts --help``.

``describe``, ``version`` and ``call`` print one result document and exit 0 when its "ok" is
true, 1 when it is false, and 2 for a usage error. ``simulator`` runs the provider simulator
until interrupted; ``demo`` runs the end-to-end demonstration and exits 0 when every check passed;
``ledger`` records payouts and makes each exactly once.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Sequence

from quorvel_bo.payouts import PROTOCOL_VERSION, __version__, call

EXIT_OK = 0
EXIT_FAILED = 1

PROG = "python -m quorvel_bo.payouts"
# The console command installed with the package; usage and examples name whichever was run.
COMMAND = "quorvel-payouts"

EPILOG = """\
examples:
  %(prog)s describe --pretty
  %(prog)s call version
  %(prog)s call payouts.pay.build - < build.json   # a Build envelope: config, token, input
  %(prog)s call payouts.pay.parse - < parse.json   # a Parse envelope: input, response
  %(prog)s call batch.webhook.parse "$NOTIFICATION"
  %(prog)s simulator --port 8080                     # the provider simulator on loopback
  %(prog)s demo                                      # the client against the simulator, end to end
  %(prog)s ledger add-qr --key K1 --qr ... --source-account ...   # record a payout
  %(prog)s ledger run --until-idle --base-url ... --client-id ... # make each exactly once

exit status: 0 when the document's "ok" is true, 1 when it is false, 2 for a usage error;
for demo, 0 when every check passed and 1 otherwise.
"""

Handler = Callable[[argparse.Namespace], str]
# Commands that print no result document and give their own exit status.
Action = Callable[[argparse.Namespace], int]


def pretty(document: str, indent: int = 2) -> str:
    """Re-indents compact JSON text.

    The layout is that of ``json.dumps(..., indent=2, ensure_ascii=False)``, but strings and
    numbers are copied as written: amounts keep their exact decimal text, which a round trip
    through ``float`` would not.
    """
    out: list[str] = []
    depth = 0
    i = 0
    n = len(document)
    while i < n:
        c = document[i]
        if c == '"':
            j = i + 1
            while document[j] != '"':
                j += 2 if document[j] == "\\" else 1
            out.append(document[i : j + 1])
            i = j + 1
            continue
        if c in "{[":
            close = "}" if c == "{" else "]"
            k = i + 1
            while k < n and document[k] in " \t\r\n":
                k += 1
            if k < n and document[k] == close:
                out.append(c + close)
                i = k + 1
                continue
            depth += 1
            out.append(c + "\n" + " " * (indent * depth))
        elif c in "}]":
            depth -= 1
            out.append("\n" + " " * (indent * depth) + c)
        elif c == ",":
            out.append(",\n" + " " * (indent * depth))
        elif c == ":":
            out.append(": ")
        elif c not in " \t\r\n":
            out.append(c)
        i += 1
    return "".join(out)


def _read_payload(value: str | None) -> str:
    if value is None or value == "-":
        return sys.stdin.buffer.read().decode("utf-8", "surrogateescape")
    return value


def _describe(_args: argparse.Namespace) -> str:
    return call("describe", "")


def _version(_args: argparse.Namespace) -> str:
    return call("version", "")


def _call(args: argparse.Namespace) -> str:
    return call(args.op, _read_payload(args.payload))


def _simulator(args: argparse.Namespace) -> int:
    # Imported here: the document commands must not pay for the servers' start-up.
    import signal
    import threading

    from quorvel_bo.payouts.simulator import Settings, serve

    settings = Settings(
        settle_after=args.settle_after, slow_delay=args.slow_delay, transfer_interval=args.transfer_interval,
        webhook_attempts=args.webhook_attempts, webhook_backoff_max=args.webhook_backoff_max,
    )
    stop = threading.Event()
    # A terminated simulator closes its sockets and its notification threads like an interrupted one.
    in_main = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, lambda _signum, _frame: stop.set()) if in_main else None
    try:
        serve(args.host, args.port, settings, stop=stop)
    except OSError as exc:
        print(f"simulator: cannot listen on {args.host}:{args.port}: {exc.strerror or exc}", file=sys.stderr)
        return EXIT_FAILED
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    return EXIT_OK


def _demo(_args: argparse.Namespace) -> int:
    from quorvel_bo.payouts._demo import run_demo

    return run_demo()


def _port(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"not a port number (0 to 65535): {text!r}")
    return int(text)


def _non_negative(kind: Callable[[str], float]) -> Callable[[str], float]:
    def parse(text: str) -> float:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if value < 0:
            raise argparse.ArgumentTypeError(f"must not be negative: {text}")
        return value

    return parse


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Run operations of the payouts core and print their JSON result documents.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--version",
        action="version",
        version=f"quorvel-bo-payouts {__version__} (protocol {PROTOCOL_VERSION})",
    )
    pretty_help = "indent the document (numbers and strings are kept exactly as written)"
    parser.add_argument("--pretty", action="store_true", help=pretty_help)
    # Also accepted after the subcommand; SUPPRESS keeps a subparser from resetting the flag.
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--pretty", action="store_true", default=argparse.SUPPRESS, help=pretty_help)

    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    describe = commands.add_parser(
        "describe", parents=[common], help="list the operations", description="Print the operation catalogue."
    )
    describe.set_defaults(handler=_describe)

    version = commands.add_parser(
        "version",
        parents=[common],
        help="print the core and protocol versions",
        description="Print the version document of the core.",
    )
    version.set_defaults(handler=_version)

    run = commands.add_parser(
        "call",
        parents=[common],
        help="run one operation",
        description="Run one operation with a JSON payload and print its result document.",
        epilog=(
            "OP is an operation name from `describe`, with the stage for remote operations\n"
            "(payouts.pay.build, payouts.pay.parse, ...).\n"
            "PAYLOAD is a JSON text; '-' or no PAYLOAD reads it from standard input."
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    run.add_argument("op", metavar="OP", help="operation text, e.g. payouts.scan.build")
    run.add_argument("payload", metavar="PAYLOAD", nargs="?", help="JSON payload, or '-' for standard input")
    run.set_defaults(handler=_call)

    sim = commands.add_parser(
        "simulator",
        help="run the provider simulator",
        description=(
            "Serve the provider's payout API from memory on HOST:PORT until interrupted, printing the\n"
            "test credentials, the sample QR texts and the trigger table first, then one line per request."
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sim.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    sim.add_argument("--port", type=_port, default=8080, help="port to listen on; 0 picks a free one (default: %(default)s)")
    sim.add_argument(
        "--settle-after", type=_non_negative(int), default=2, metavar="N",
        help="status queries before a payout is final (default: %(default)s)",
    )
    sim.add_argument(
        "--slow-delay", type=_non_negative(float), default=3.0, metavar="SECONDS",
        help="how long the time-out trigger holds an answer back (default: %(default)s)",
    )
    sim.add_argument(
        "--transfer-interval", type=_non_negative(float), default=0.5, metavar="SECONDS",
        help="time each batch transfer takes to complete (default: %(default)s)",
    )
    sim.add_argument(
        "--webhook-attempts", type=_non_negative(int), default=5, metavar="N",
        help="deliveries of one notification before it is given up (default: %(default)s)",
    )
    sim.add_argument(
        "--webhook-backoff-max", type=_non_negative(float), default=1.0, metavar="SECONDS",
        help="longest wait between deliveries of one notification (default: %(default)s)",
    )
    sim.set_defaults(action=_simulator)

    demo = commands.add_parser(
        "demo",
        help="run the client against the simulator, end to end",
        description=(
            "Start the provider simulator and a webhook receiver on loopback, then scan and pay QR codes,\n"
            "follow an ambiguous payment, list banks, authorise a batch, verify its notifications and\n"
            "query it, printing each step. Exits 0 when every check passed, 1 otherwise."
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    demo.set_defaults(action=_demo)

    from quorvel_bo.payouts.ledger._cli import add_ledger_parser

    add_ledger_parser(commands)
    return parser


def _emit(text: str) -> None:
    sys.stdout.buffer.write(text.encode("utf-8") + b"\n")
    sys.stdout.buffer.flush()


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser(COMMAND if os.path.basename(sys.argv[0]) == COMMAND else PROG)
    args = parser.parse_args(argv)
    action: Action | None = getattr(args, "action", None)
    if action is not None:
        return action(args)
    handler: Handler = args.handler
    try:
        document = handler(args)
    except UnicodeEncodeError:
        parser.error("the operation or the payload is not valid UTF-8")
    ok = json.loads(document).get("ok") is True
    _emit(pretty(document) if args.pretty else document)
    return EXIT_OK if ok else EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
