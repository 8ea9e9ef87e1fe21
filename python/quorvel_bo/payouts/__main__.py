"""Command line for the payouts core: ``python -m quorvel_bo.payouts --help``.

Each subcommand prints one result document and exits 0 when its "ok" is true,
1 when it is false, and 2 for a usage error.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable, Sequence

from quorvel_bo.payouts import PROTOCOL_VERSION, __version__, call

EXIT_OK = 0
EXIT_FAILED = 1

PROG = "python -m quorvel_bo.payouts"

EPILOG = """\
examples:
  %(prog)s describe --pretty
  %(prog)s call version
  %(prog)s call payouts.pay.build - < build.json   # a Build envelope: config, token, input
  %(prog)s call payouts.pay.parse - < parse.json   # a Parse envelope: input, response
  %(prog)s call batch.webhook.parse "$NOTIFICATION"

exit status: 0 when the document's "ok" is true, 1 when it is false, 2 for a usage error.
"""

Handler = Callable[[argparse.Namespace], str]


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


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
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
    return parser


def _emit(text: str) -> None:
    sys.stdout.buffer.write(text.encode("utf-8") + b"\n")
    sys.stdout.buffer.flush()


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
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
