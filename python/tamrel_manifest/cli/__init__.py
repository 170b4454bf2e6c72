"""The command-line tool: tamrel-manifest (also python -m tamrel_manifest).

Each command is a module of this package that registers its parser (`add_parser`, which names
how the parser's options are defined) and runs it (`run`); the options they share are in
`options`, what they print in `output` and `facts`. Only the parser of the command that runs is
filled in, and a command imports what it runs on when it runs, so the tool starts quickly.

Exit status: 0 when the verdict is clean, 1 when verification found issues, 2 for usage errors and
for files that cannot be read or decoded, 3 for an internal failure of the native module, 130 when
interrupted.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence

from tamrel_manifest.cli import (
    create,
    inspect,
    keys,
    limits,
    load_plan,
    sha256,
    sign,
    verify,
    verify_signature,
)
from tamrel_manifest.cli.output import (
    EXIT_ERROR,
    EXIT_INTERRUPTED,
    EXIT_OK,
    Output,
    OutputError,
    discard_further_output,
    plain_failure,
    report_error,
)
from tamrel_manifest.cli.options import PROG

# typing is the type checker's: these modules leave it unimported at run time.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TextIO

__all__ = ["build_parser", "main"]

# In the order the help lists them.
COMMANDS = (create, verify, load_plan, keys, sign, verify_signature, inspect, sha256,
            limits)


def _version() -> str:
    from tamrel_manifest._version import __version__

    return f"{PROG} {__version__}"


def _formatter(prog: str) -> argparse.HelpFormatter:
    # The width argparse would find, without the import of shutil it finds it with.
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
        except (AttributeError, ValueError, OSError):
            columns = 0
    return argparse.HelpFormatter(prog, width=(columns or 80) - 2)


class _Parser(argparse.ArgumentParser):
    """argparse's parser, except that help and version text that cannot be written raises
    OSError (argparse drops the error and exits 0)."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("formatter_class", _formatter)
        super().__init__(*args, **kwargs)

    def _print_message(self, message: str, file: Any = None) -> None:
        if message:
            (file or sys.stderr).write(message)


class _Version(argparse.Action):
    """--version: the version line, as it is (argparse would wrap it to the terminal)."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 help: str = "show program's version number and exit") -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        parser._print_message(_version() + "\n", sys.stdout)
        parser.exit()


class _CommandParser(_Parser):
    """A command's parser, whose options `define` adds when the parser is first used: parsing
    one command line defines one command's options, not every command's."""

    def __init__(self, *args: Any, define: Callable[[argparse.ArgumentParser], None],
                 **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._define: Callable[[argparse.ArgumentParser], None] | None = define

    def defined(self) -> _CommandParser:
        if self._define is not None:
            define, self._define = self._define, None
            define(self)
        return self

    def parse_known_args(self, *args: Any, **kwargs: Any) -> Any:
        return super(_CommandParser, self.defined()).parse_known_args(*args, **kwargs)

    def format_usage(self) -> str:
        return super(_CommandParser, self.defined()).format_usage()

    def format_help(self) -> str:
        return super(_CommandParser, self.defined()).format_help()


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        usage=f"{PROG} [options] COMMAND ...",
        description="Create, inspect and verify index manifests.",
        epilog="exit status: 0 clean, 1 verification found issues, 2 usage error or unreadable"
        " input, 3 internal failure, 130 interrupted",
    )
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     prog=PROG, parser_class=_CommandParser)
    for command in COMMANDS:
        command.add_parser(commands)
    parser.set_defaults(parsers=commands.choices)
    return parser


def _readable_errors(stream: TextIO) -> None:
    # Paths that are not valid Unicode must not turn a verdict into a UnicodeEncodeError.
    reconfigure = getattr(stream, "reconfigure", None)
    if reconfigure is not None:
        reconfigure(errors="backslashreplace")


def _parse(
    parser: argparse.ArgumentParser, argv: Sequence[str] | None, err: TextIO
) -> argparse.Namespace | int:
    """The parsed arguments, or the exit status of a command line that ends in parsing: a usage
    error (2), or --help / --version (0, unless their text cannot be written: 2)."""
    try:
        args, unknown = parser.parse_known_args(argv)
        if unknown:  # said with the usage of the command they were given to
            args.parsers[args.command].error(f"unrecognized arguments: {' '.join(unknown)}")
        check = getattr(args, "check", None)
        if check is not None:
            try:
                check(args)
            except ValueError as exc:
                parser.error(str(exc))
        return args
    except SystemExit as exc:
        if exc.code not in (0, None):
            return exc.code if isinstance(exc.code, int) else EXIT_ERROR
        failure = _flush_stdout()
    except OSError as exc:
        failure = exc
    if failure is None:
        return EXIT_OK
    discard_further_output(sys.stdout)
    if isinstance(failure, BrokenPipeError):  # the reader went away (a pipe into head)
        return EXIT_OK
    Output(sys.stdout, err, json_mode=True).error(f"error: cannot write standard output: {failure}")
    return EXIT_ERROR


def _flush_stdout() -> OSError | None:
    try:
        sys.stdout.flush()
    except OSError as exc:
        return exc
    return None


def main(
    argv: Sequence[str] | None = None, *, out: TextIO | None = None, err: TextIO | None = None
) -> int:
    """Runs the tool with `argv` (default: the process's arguments) and returns the exit status."""
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    _readable_errors(out)
    _readable_errors(err)
    parser = build_parser()
    parsed = _parse(parser, argv, err)
    if isinstance(parsed, int):
        return parsed
    args = parsed
    output = Output(out, err, json_mode=args.json, quiet=args.quiet)
    try:
        status: int = args.handler(args, output)
        output.flush()
    except OutputError as exc:
        output.closed = True
        discard_further_output(output.out)
        output.error(f"error: cannot write standard output: {exc}")
        return EXIT_ERROR
    except KeyboardInterrupt:
        output.error("interrupted")
        return EXIT_INTERRUPTED
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # the native module's internal failure derives from it
        failure = getattr(args, "failure", plain_failure)(args, exc)
        return report_error(output, failure.subject, exc, failure.hints, failure.text)
    return status
