"""The ``ledger`` command: init, add-qr, import, run, serve-webhooks, status, show and export."""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading
from collections.abc import Callable
from datetime import datetime, timezone
from typing import Any, TextIO

from quorvel_bo.payouts._errors import PayoutsError, ValidationError
from quorvel_bo.payouts.ledger._engine import DEFAULT_DB, describe_url
from quorvel_bo.payouts.ledger._ledger import Ledger, LedgerStatus
from quorvel_bo.payouts.ledger._model import BatchState, ImportProblemsError, LedgerBatch, LedgerPayout, PayoutState
from quorvel_bo.payouts.ledger._payroll import DEFAULT_CHUNK_SIZE
from quorvel_bo.payouts.ledger._runner import ClientSettings, RunOptions

__all__ = ["TOKEN_VARIABLE", "WEBHOOK_TOKEN_VARIABLE", "add_ledger_parser"]

#: Where ``ledger run`` finds the access token when ``--token`` is not given.
TOKEN_VARIABLE = "QUORVEL_BO_TOKEN"
#: Where ``ledger import`` and ``ledger serve-webhooks`` find the webhook secret when it is not given.
WEBHOOK_TOKEN_VARIABLE = "QUORVEL_BO_WEBHOOK_TOKEN"

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

EPILOG = f"""\
examples:
  %(prog)s init
  %(prog)s add-qr --key INV-0001 --qr "$QR_TEXT" --source-account 2012345678
  %(prog)s add-qr --key INV-0002 --qr "$QR_TEXT" --source-account 2012345678 --amount 75.50 --description Almuerzo
  {WEBHOOK_TOKEN_VARIABLE}=... %(prog)s import payroll.csv --branch SUC-01 --webhook-url https://pay.example.com/hooks/batch
  {TOKEN_VARIABLE}=... %(prog)s run --base-url http://127.0.0.1:8080 --client-id sim-client --until-idle
  {WEBHOOK_TOKEN_VARIABLE}=... %(prog)s serve-webhooks --host 127.0.0.1 --port 8000
  %(prog)s status
  %(prog)s show INV-0001
  %(prog)s export --format csv --since 2024-12-01 > payouts.csv
  %(prog)s --db postgresql://payouts@db.internal/payouts run --workers 8 --environment production ...

The database is a file path or sqlite:///path (SQLite, default ./{DEFAULT_DB}) or postgresql://...
"""


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return int(text)


def add_ledger_parser(commands: Any) -> None:
    """Adds ``ledger`` and its subcommands to the command line's subparsers."""
    db_help = f"the database: a file path, sqlite:///path or postgresql://... (default: ./{DEFAULT_DB})"
    ledger = commands.add_parser(
        "ledger",
        help="record payouts and make each exactly once",
        description=(
            "A durable payout ledger: record payouts, then run them; each is made exactly once,\n"
            "whatever crashes in between."
        ),
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    ledger.add_argument("--db", default=None, metavar="URL", help=db_help)
    # Also accepted after the subcommand; SUPPRESS keeps a subcommand from resetting it.
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--db", default=argparse.SUPPRESS, metavar="URL", help=db_help)
    sub = ledger.add_subparsers(dest="ledger_command", metavar="COMMAND", required=True)

    init = sub.add_parser("init", parents=[common], help="create or upgrade the schema",
                          description="Create the ledger's tables, or upgrade them to this version.")
    init.set_defaults(action=_init)

    add = sub.add_parser("add-qr", parents=[common], help="record a QR payout (nothing is sent)",
                         description="Record a payout of a QR code. Adding the same key with the same inputs again "
                                     "does nothing; with other inputs it is refused.")
    add.add_argument("--key", required=True, help="your idempotency key, sent as the transaction id (1 to 32 "
                                                  "letters, digits, - or _)")
    add.add_argument("--qr", required=True, metavar="TEXT", help="the QR code's content")
    add.add_argument("--source-account", required=True, metavar="DIGITS", help="the account to pay from")
    add.add_argument("--amount", help="the amount, where the QR leaves it open (e.g. 75.50)")
    add.add_argument("--description", help="the description, where the QR has none")
    add.set_defaults(action=_add_qr)

    run = sub.add_parser(
        "run", parents=[common], help="make the recorded payouts",
        description=(
            "Take due payouts and drive each through scan, pay and its final status. Ctrl-C stops;\n"
            "a payment then on its way stays recorded in doubt and is resolved by the next run.\n"
            f"The access token comes from --token or the environment variable {TOKEN_VARIABLE}."
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    run.add_argument("--workers", type=_positive, default=1, metavar="N", help="payouts driven at once (default: 1)")
    run.add_argument("--until-idle", action="store_true",
                     help="stop once every payout and every batch's transfers are final")
    where = run.add_mutually_exclusive_group()
    where.add_argument("--base-url", help="the provider's base URL (instead of --environment)")
    where.add_argument("--environment", choices=("development", "sandbox", "production"), default="sandbox")
    run.add_argument("--client-id", required=True)
    run.add_argument("--token", help=f"the access token (default: ${TOKEN_VARIABLE})")
    run.add_argument("--timeout", type=_seconds, metavar="SECONDS", help="time limit of each request")
    defaults = RunOptions()
    for name, text in (
        ("lease", "how long a worker holds a payout before another may take it over"),
        ("grace", "how long after sending a payment a 'not found' is believed"),
        ("poll_interval", "first wait between status queries of a pending payout"),
        ("poll_max_interval", "longest wait between status queries"),
        ("retry_interval", "first wait after a failed request"),
        ("retry_max_interval", "longest wait after failed requests"),
        ("inline_wait", "waits up to this long are spent holding the payout"),
        ("idle_interval", "how often an idle worker looks for due payouts"),
        ("reconcile_after", "after authorisation, when a batch with transfers not final is asked its status"),
        ("reconcile_interval", "then how often it is asked again"),
    ):
        run.add_argument(f"--{name.replace('_', '-')}", type=_seconds, default=getattr(defaults, name),
                         metavar="SECONDS", help=f"{text} (default: %(default)s)")
    shown = run.add_mutually_exclusive_group()
    shown.add_argument("--progress", dest="progress", action="store_true", default=None,
                       help="a progress bar (default on a terminal)")
    shown.add_argument("--plain", dest="progress", action="store_false", help="one line per state change")
    run.set_defaults(action=_run)

    imp = sub.add_parser(
        "import", parents=[common], help="record a payroll file as batches (nothing is sent)",
        description=(
            "Record the transfers of a CSV payroll file (UTF-8 with or without BOM, comma or semicolon\n"
            "separated, a header row naming the fields, amounts with '.' as the decimal point) as batches\n"
            "of at most --chunk-size transfers. Every row is checked first and every problem is listed\n"
            "with its line and column; a file with any problem records nothing, unless --skip-invalid.\n"
            f"The columns: transaction_id, amount, date, source_account, destination_account, bank_code,\n"
            "branch_city, description, recipient_document_id, recipient_name, and currency (default BOB).\n"
            f"The webhook secret comes from --webhook-token or ${WEBHOOK_TOKEN_VARIABLE}."
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    imp.add_argument("file", metavar="FILE", help="the CSV file")
    imp.add_argument("--branch", required=True, metavar="CODE", help="the branch code the batches are sent for")
    imp.add_argument("--webhook-url", required=True, metavar="URL", help="where the provider sends notifications")
    imp.add_argument("--webhook-token", metavar="SECRET", help=f"the notification secret (default: ${WEBHOOK_TOKEN_VARIABLE})")
    imp.add_argument("--process-id", metavar="UUID", help="the first batch's process id (default: a new one each)")
    imp.add_argument("--chunk-size", type=_positive, default=DEFAULT_CHUNK_SIZE, metavar="N",
                     help="transfers per batch (default: %(default)s)")
    imp.add_argument("--skip-invalid", action="store_true", help="record the good rows and list the others")
    imp.add_argument("--json", action="store_true", help="one JSON document (recorded batches, problems)")
    imp.set_defaults(action=_import)

    hooks = sub.add_parser(
        "serve-webhooks", parents=[common], help="receive batch notifications into the ledger",
        description=(
            "Serve the notification endpoint (POST PATH?token=...) with uvicorn: each notification is\n"
            "verified, written into the ledger (a repeat changes nothing) and acknowledged once committed.\n"
            "The access log never shows the token. Needs: pip install 'quorvel-bo-payouts[server]'.\n"
            f"The expected secret comes from --expected-token or ${WEBHOOK_TOKEN_VARIABLE}."
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    hooks.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    hooks.add_argument("--port", type=int, default=8000, help="port to listen on (default: %(default)s)")
    hooks.add_argument("--path", default="/hooks/batch", help="the notification path (default: %(default)s)")
    hooks.add_argument("--expected-token", metavar="SECRET",
                       help=f"the webhook token the batches were given (default: ${WEBHOOK_TOKEN_VARIABLE})")
    hooks.set_defaults(action=_serve_webhooks)

    export = sub.add_parser("export", parents=[common], help="every payout and transfer, for accounting",
                            description="Write one row per payout and per transfer: id, batch, provider reference, "
                                        "status and the provider's word, exact amount, currency, recipient, and "
                                        "the time of each step (UTC).")
    export.add_argument("--format", choices=("csv", "json"), default="csv", help="(default: %(default)s)")
    export.add_argument("--since", metavar="WHEN", help="only rows changed since this ISO date or time (UTC unless "
                                                        "a zone is given)")
    export.add_argument("--output", "-o", metavar="FILE", help="write to FILE instead of standard output")
    export.set_defaults(action=_export)

    status = sub.add_parser("status", parents=[common], help="counts per state, payouts in doubt, failures",
                            description="Show how many payouts, batches and transfers are in each state, those in "
                                        "doubt and the failures.")
    status.add_argument("--json", action="store_true", help="one JSON document")
    status.set_defaults(action=_status)

    show = sub.add_parser("show", parents=[common], help="one payout or batch and its history",
                          description="Show one payout (by key) or batch (by process id) and every recorded step "
                                      "of it.")
    show.add_argument("key", metavar="KEY")
    show.add_argument("--json", action="store_true", help="one JSON document")
    show.set_defaults(action=_show)


def _fail(message: str) -> int:
    print(f"ledger: {message}", file=sys.stderr)
    return EXIT_FAILED


def _open(args: argparse.Namespace) -> Ledger:
    return Ledger(args.db)


def _guarded(action: Callable[[argparse.Namespace], int]) -> Callable[[argparse.Namespace], int]:
    def run(args: argparse.Namespace) -> int:
        try:
            return action(args)
        except ValidationError as exc:
            return _fail(f"{exc.field}: {exc.message}")
        except PayoutsError as exc:
            return _fail(exc.message)
        except (OSError, RuntimeError, ValueError) as exc:
            return _fail(f"{describe_url(args.db)}: {exc}")
        except Exception as exc:  # a database refusal (sqlite3 or psycopg): one line, not a trace
            if type(exc).__module__.split(".")[0] in ("sqlite3", "psycopg"):
                return _fail(f"{describe_url(args.db)}: {exc}")
            raise

    return run


@_guarded
def _init(args: argparse.Namespace) -> int:
    from quorvel_bo.payouts.ledger._engine import open_engine
    from quorvel_bo.payouts.ledger._schema import SCHEMA_VERSION, migrate

    engine = open_engine(args.db)
    try:
        before, after = migrate(engine)
    finally:
        engine.close()
    where = describe_url(args.db)
    if before == 0:
        print(f"{where}: ledger created (schema version {after})")
    elif before < after:
        print(f"{where}: schema upgraded from version {before} to {after}")
    else:
        print(f"{where}: schema version {SCHEMA_VERSION}, up to date")
    return EXIT_OK


@_guarded
def _add_qr(args: argparse.Namespace) -> int:
    with _open(args) as ledger:
        added = ledger.add_qr_payout(args.key, args.qr, args.source_account, args.amount, args.description)
    print(f"recorded {args.key}" if added else f"{args.key} was already recorded with these inputs")
    return EXIT_OK


def _when(ms: int | None) -> str:
    if ms is None:
        return "-"
    return datetime.fromtimestamp(ms / 1000, tz=timezone.utc).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3] + "Z"


class _Lines:
    """One plain line per recorded step."""

    def __init__(self, out: TextIO) -> None:
        self._out = out

    def __call__(self, payout: LedgerPayout, event: str) -> None:
        self._out.write(f"{_when(payout.updated_at)} {payout.key} {payout.state.value}: {event}\n")
        self._out.flush()

    def batch(self, batch: LedgerBatch, event: str) -> None:
        self._out.write(f"{_when(batch.updated_at)} batch {batch.process_id} {batch.state.value}: {event}\n")
        self._out.flush()


def _progress_bar(ledger: Ledger) -> Any:
    """A rich progress bar over the payouts made so far, or None when rich is missing."""
    try:
        from rich.progress import (
            BarColumn,
            MofNCompleteColumn,
            Progress,
            TextColumn,
            TimeElapsedColumn,
        )
    except ImportError:
        return None
    status = ledger.status()
    progress = Progress(TextColumn("payouts"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn(),
                        TextColumn("{task.fields[note]}"))
    task = progress.add_task("payouts", total=status.total, completed=status.total - status.unfinished, note="")

    def changed(payout: LedgerPayout, event: str) -> None:
        if payout.state.is_final:
            progress.advance(task)
        if payout.state is PayoutState.IN_DOUBT:
            progress.update(task, note=f"{payout.key} in doubt: resolving")

    return progress, changed


def _interrupt(_signum: int, _frame: object) -> None:
    raise KeyboardInterrupt


@_guarded
def _run(args: argparse.Namespace) -> int:
    token = args.token or os.environ.get(TOKEN_VARIABLE)
    if not token:
        print(f"ledger run: give the access token with --token or ${TOKEN_VARIABLE}", file=sys.stderr)
        return EXIT_USAGE
    settings = ClientSettings(
        args.client_id, token, base_url=args.base_url, environment=args.environment, timeout=args.timeout
    )
    options = RunOptions(
        lease=args.lease, grace=args.grace, poll_interval=args.poll_interval,
        poll_max_interval=args.poll_max_interval, retry_interval=args.retry_interval,
        retry_max_interval=args.retry_max_interval, inline_wait=args.inline_wait, idle_interval=args.idle_interval,
        reconcile_after=args.reconcile_after, reconcile_interval=args.reconcile_interval,
    )
    stop = threading.Event()
    # A terminated runner stops as an interrupted one does: payments on their way are marked in doubt.
    signal.signal(signal.SIGTERM, _interrupt)
    with _open(args) as ledger:
        use_bar = args.progress if args.progress is not None else sys.stdout.isatty()
        bar = _progress_bar(ledger) if use_bar else None
        if bar is None:
            lines = _Lines(sys.stdout)
            summary = ledger.run(settings, workers=args.workers, until_idle=args.until_idle, options=options,
                                 on_change=lines, stop=stop, on_batch_change=lines.batch)
        else:
            progress, changed = bar
            with progress:
                summary = ledger.run(settings, workers=args.workers, until_idle=args.until_idle, options=options,
                                     on_change=changed, stop=stop)
        status = ledger.status()
    doubt = len(status.in_doubt) + len(status.in_flight)
    if summary.interrupted:
        print(f"interrupted: {status.unfinished} payout(s) not final, {doubt} in doubt; the next run resolves them",
              file=sys.stderr)
        return EXIT_INTERRUPTED
    tail = f"; {status.unfinished_batches} batch(es) not final" if status.batch_counts else ""
    print(f"{summary.steps} step(s) recorded; {status.unfinished} payout(s) not final, {len(status.failures)} failed"
          + tail)
    return EXIT_OK


def _status_text(status: LedgerStatus, where: str) -> str:
    lines = [f"ledger {where}: {status.total} payout(s), {status.unfinished} not final"]
    for state in PayoutState:
        if status.counts.get(state):
            lines.append(f"  {state.value:<10} {status.counts[state]}")
    if status.in_flight:
        lines.append("payments on their way (a worker holds them):")
        lines += [f"  {p.key}  reference {p.reference}  {p.amount_due}" for p in status.in_flight]
    if status.in_doubt:
        lines.append("in doubt (resolved through the provider's status by the next run):")
        lines += [f"  {p.key}  reference {p.reference}  {p.amount_due}  {p.reason or ''}".rstrip()
                  for p in status.in_doubt]
    if status.failures:
        lines.append("failures:")
        lines += [f"  {p.key}  {p.state.value}  {p.reason or ''}".rstrip() for p in status.failures]
    if status.batch_counts:
        lines.append(f"{sum(status.batch_counts.values())} batch(es), {status.unfinished_batches} not final")
        for bstate in BatchState:
            if status.batch_counts.get(bstate):
                lines.append(f"  {bstate.value:<12} {status.batch_counts[bstate]}")
        lines.append(f"{sum(status.transfer_counts.values())} transfer(s)")
        for word, n in sorted(status.transfer_counts.items()):
            lines.append(f"  {word:<12} {n}")
    if status.batches_in_doubt:
        lines.append("batches in doubt (resolved through the batch status by the next run):")
        lines += [f"  {b.process_id}  {b.reason or ''}".rstrip() for b in status.batches_in_doubt]
    if status.batches_refused:
        lines.append("batches refused:")
        lines += [f"  {b.process_id}  {b.reason or ''}".rstrip() for b in status.batches_refused]
    return "\n".join(lines)


@_guarded
def _status(args: argparse.Namespace) -> int:
    with _open(args) as ledger:
        status = ledger.status()
    if args.json:
        print(json.dumps(status.to_json(), ensure_ascii=False, sort_keys=True))
    else:
        print(_status_text(status, describe_url(args.db)))
    return EXIT_OK


@_guarded
def _show(args: argparse.Namespace) -> int:
    with _open(args) as ledger:
        payout = ledger.payout(args.key)
        history = ledger.history(args.key) if payout is not None else []
        batch = ledger.batch(args.key) if payout is None else None
        if batch is not None:
            return _show_batch(args, batch, ledger)
    if payout is None:
        return _fail(f"no payout or batch {args.key!r}")
    if args.json:
        document = payout.to_json() | {"history": [e.to_json() for e in history]}
        print(json.dumps(document, ensure_ascii=False, sort_keys=True))
        return EXIT_OK
    fields = payout.to_json()
    lines = [f"payout {payout.key}: {payout.state.value}"]
    for name in ("qr_text", "source_account", "amount", "description", "reference", "scanned_amount", "currency",
                 "paid_amount", "provider_status", "provider_transaction_id", "pay_attempts", "reason"):
        if fields[name] is not None:
            lines.append(f"  {name.replace('_', ' '):<24}{fields[name]}")
    lines.append("history:")
    for e in history:
        tail = f"  {e.detail}" if e.detail else ""
        lines.append(f"  {e.seq:>3}  {_when(e.at)}  {e.state.value:<10} {e.event}{tail}")
    print("\n".join(lines))
    return EXIT_OK


def _show_batch(args: argparse.Namespace, batch: LedgerBatch, ledger: Ledger) -> int:
    history = ledger.batch_history(batch.process_id)
    transfers = ledger.transfers(batch.process_id)
    if args.json:
        document = batch.to_json() | {
            "history": [e.to_json() for e in history],
            "transfers": [{"transaction_id": t.transaction_id, "amount": str(t.amount), "currency": t.currency,
                           "status": None if t.status is None else t.status.value, "raw_status": t.raw_status,
                           "reference": t.reference} for t in transfers],
        }
        print(json.dumps(document, ensure_ascii=False, sort_keys=True))
        return EXIT_OK
    lines = [f"batch {batch.process_id}: {batch.state.value}"]
    for name in ("branch_code", "batch_number", "source", "part", "transfers", "attempts", "reason"):
        value = getattr(batch, name)
        if value is not None:
            lines.append(f"  {name.replace('_', ' '):<24}{value}")
    counts: dict[str, int] = {}
    for t in transfers:
        word = "not sent" if t.status is None else t.status.value
        counts[word] = counts.get(word, 0) + 1
    lines.append("  transfers by status      " + ", ".join(f"{w} {n}" for w, n in sorted(counts.items())))
    lines.append("history:")
    for e in history:
        tail = f"  {e.detail}" if e.detail else ""
        lines.append(f"  {e.seq:>3}  {_when(e.at)}  {e.state.value:<12} {e.event}{tail}")
    print("\n".join(lines))
    return EXIT_OK


@_guarded
def _import(args: argparse.Namespace) -> int:
    token = args.webhook_token or os.environ.get(WEBHOOK_TOKEN_VARIABLE)
    if not token:
        print(f"ledger import: give the webhook secret with --webhook-token or ${WEBHOOK_TOKEN_VARIABLE}",
              file=sys.stderr)
        return EXIT_USAGE
    with _open(args) as ledger:
        try:
            result = ledger.import_csv(
                args.file, branch_code=args.branch, webhook_url=args.webhook_url, webhook_token=token,
                process_id=args.process_id, chunk_size=args.chunk_size, skip_invalid=args.skip_invalid,
            )
        except ImportProblemsError as exc:
            if args.json:
                print(json.dumps({"recorded": None, "problems": [p.to_json() for p in exc.problems]},
                                 ensure_ascii=False, sort_keys=True))
            for problem in exc.problems:
                print(f"{args.file}: {problem}", file=sys.stderr)
            return _fail(f"{args.file}: {exc.message}")
    if args.json:
        print(json.dumps({"recorded": result.to_json(), "problems": [p.to_json() for p in result.skipped]},
                         ensure_ascii=False, sort_keys=True))
    else:
        print(f"{args.file}: recorded {result.transfers} transfer(s) in {len(result.process_ids)} batch(es)")
        for pid in result.process_ids:
            print(f"  {pid}")
    if result.skipped:
        for problem in result.skipped:
            print(f"{args.file}: skipped {problem}", file=sys.stderr)
        print(f"ledger: {args.file}: {len({p.line for p in result.skipped})} row(s) skipped", file=sys.stderr)
    return EXIT_OK


@_guarded
def _serve_webhooks(args: argparse.Namespace) -> int:
    token = args.expected_token or os.environ.get(WEBHOOK_TOKEN_VARIABLE)
    if not token:
        print(f"ledger serve-webhooks: give the secret with --expected-token or ${WEBHOOK_TOKEN_VARIABLE}",
              file=sys.stderr)
        return EXIT_USAGE
    try:
        import uvicorn

        from quorvel_bo.payouts.server import create_app
    except ImportError as exc:
        return _fail(f"serve-webhooks needs Starlette and uvicorn: pip install 'quorvel-bo-payouts[server]' ({exc})")
    # The application keeps the token out of uvicorn's logs itself (again at start-up, after the Config).
    app = create_app(args.db, token, path=args.path)
    config = uvicorn.Config(app, host=args.host, port=args.port, log_level="info", access_log=True)
    print(f"ledger {describe_url(args.db)}: batch notifications on http://{args.host}:{args.port}{args.path}",
          file=sys.stderr, flush=True)
    uvicorn.Server(config).run()
    return EXIT_OK


@_guarded
def _export(args: argparse.Namespace) -> int:
    from quorvel_bo.payouts.ledger._export import export_rows, parse_since, write_export

    try:
        since = None if args.since is None else parse_since(args.since)
    except ValueError:
        print(f"ledger export: --since takes an ISO date or date and time, not {args.since!r}", file=sys.stderr)
        return EXIT_USAGE
    with _open(args) as ledger:
        if args.output is None:
            count = write_export(export_rows(ledger, since), sys.stdout, args.format)
        else:
            with open(args.output, "w", encoding="utf-8", newline="") as out:
                count = write_export(export_rows(ledger, since), out, args.format)
    print(f"{count} row(s) exported", file=sys.stderr)
    return EXIT_OK
