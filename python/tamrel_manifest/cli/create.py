"""create: write a new manifest for an index file, and say which input is at fault when it
cannot."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable

from tamrel_manifest._limits import option_name
from tamrel_manifest._words import counted
from tamrel_manifest.cli import options
from tamrel_manifest.cli.facts import write_manifest_facts
from tamrel_manifest.cli.output import (
    EXIT_OK,
    INPUT_ERRORS,
    Failure,
    Output,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any
    from _tamrel_manifest import IndexManifest


def _aux(required: bool) -> Callable[[str], dict[str, Any]]:
    def parse(text: str) -> dict[str, Any]:
        name, sep, path = text.partition("=")
        if not sep or not path:
            raise argparse.ArgumentTypeError(f"expected NAME=PATH, got {text!r}")
        return {"name": name, "path": path, "required": required}

    return parse


def add_parser(commands: Any) -> None:
    commands.add_parser(
        "create",
        help="write a new manifest for an index file",
        usage=options.usage("create", "INDEX OUT EMBEDDING-MODEL"
                            " (--row-map PATH | --row-id-is-identity)"),
        define=_define,
    )


def _define(create: argparse.ArgumentParser) -> None:
    create.add_argument("index", metavar="INDEX", help="the index file")
    create.add_argument(
        "out",
        metavar="OUT",
        help="the manifest file to write; a missing directory is created (and removed again"
        " when creation fails)",
    )
    create.add_argument("embedding_model", metavar="EMBEDDING-MODEL", help="the model name")
    identity = create.add_argument_group("row identity (one of these is required)")
    identity.add_argument("--row-map", metavar="PATH", help="the row-identity JSONL file")
    identity.add_argument(
        "--row-id-is-identity", action="store_true", help="row numbers are the identities"
    )
    create.add_argument(
        "--aux",
        dest="auxiliary_artifacts",
        action="append",
        type=_aux(True),
        metavar="NAME=PATH",
        help="a required auxiliary artifact (repeatable)",
    )
    create.add_argument(
        "--optional-aux",
        dest="auxiliary_artifacts",
        action="append",
        type=_aux(False),
        metavar="NAME=PATH",
        help="an optional auxiliary artifact (repeatable)",
    )
    options.add_path_policy(create)
    options.add_json(create)
    options.add_limits(create)
    create.set_defaults(handler=run, failure=failure, offered=options.offered(create))


def create_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of create_manifest for parsed options."""
    return {
        "row_map": args.row_map,
        "row_id_is_identity": args.row_id_is_identity,
        "auxiliary_artifacts": args.auxiliary_artifacts,
        "allow_absolute_paths": args.allow_absolute_paths,
        "allow_path_escape": args.allow_path_escape,
        **options.limit_kwargs(args),
    }


def run(args: argparse.Namespace, output: Output) -> int:
    from tamrel_manifest._create import create_manifest

    call = output.start(
        create_manifest, args.index, args.out, args.embedding_model, **create_kwargs(args)
    )
    try:
        manifest: IndexManifest = output.wait(call)
    except KeyboardInterrupt:
        # The directories made for OUT hold the module's temporary file until its call ends;
        # once it has, create_manifest removes them as for any failure. A second Ctrl-C leaves
        # at once, and them behind.
        output.error("interrupted; removing the directories made for OUT when the call ends"
                     " (Ctrl-C again leaves them)")
        call.done.wait()
        if call.error is None:
            output.error(f"{args.out} was written: the call had ended before it could stop")
        raise

    if output.json_mode:
        output.json(manifest)
    else:
        output.line(f"OK: wrote {args.out}")
        output.line()
        write_manifest_facts(output, manifest)
    return EXIT_OK


# ---- failures ----


def failure(args: argparse.Namespace, error: BaseException) -> Failure:
    hints = _hints(args, error) if isinstance(error, INPUT_ERRORS) else []
    return Failure(_subject(args, error), _text(args, error), hints)


def _in_cli_words(text: str) -> str:
    """The module's argument errors name its keywords; the tool names its options."""
    from tamrel_manifest._hints import rows

    return rows.PATTERNS["create_keywords"].sub(lambda m: option_name(m.group(1)), text)


def _subject(args: argparse.Namespace, error: BaseException) -> str:
    """`cannot create OUT`, and the input at fault where an operating-system error came from
    one: the module's error text names no file."""
    from tamrel_manifest._create import failed_input

    subject = f"cannot create {args.out}"
    if not isinstance(error, OSError):
        return subject
    which = failed_input(args.index, args.row_map, args.auxiliary_artifacts, error)
    return subject if which is None else f"{subject}: {which}"


def _text(args: argparse.Namespace, error: BaseException) -> str | None:
    from tamrel_manifest._create import RowMapInvalid

    count = len(error.report["errors"]) if isinstance(error, RowMapInvalid) else 0
    if count:  # listed below it; with none found alone (a row count only), the module's text
        return f"row map {args.row_map} is invalid: " + counted(count, "issue")
    if isinstance(error, ValueError):
        return _in_cli_words(str(error))
    return str(error)


def _hints(args: argparse.Namespace, error: BaseException) -> list[str]:
    """What verify says of the same input: the row map's first issues and their hints, the limit
    that stopped creation and what raising it costs, or what an unknown index file is."""
    from tamrel_manifest._create import RowMapInvalid, count_lines
    from tamrel_manifest._hints import files, limits, rows

    text = str(error)
    if isinstance(error, RowMapInvalid) and error.report["errors"]:
        return rows.row_map_hints(error.report["errors"], args.row_map, args.row_map)
    if isinstance(error, RowMapInvalid):  # its rows are sound: there are too many of them
        try:
            lines = count_lines(args.row_map)
        except OSError:
            return []
        return [f"row map {args.row_map} has {counted(lines, 'row')}, more than the index has"
                " vectors"]
    if isinstance(error, OSError) and files.PATTERNS["probe"].match(text):
        return files.input_hints("index", args.index, text)
    code = text.partition(":")[0]
    if isinstance(error, ValueError) and code in limits.LIMIT_OF_CODE:
        return _limit_hints(args, code)
    return []


def _limit_hints(args: argparse.Namespace, code: str) -> list[str]:
    from tamrel_manifest import _run
    from tamrel_manifest._create import count_lines
    from tamrel_manifest._hints import limits

    row_count = None
    if args.row_map and code.startswith("row_identity_"):
        try:
            row_count = _run.call(lambda: count_lines(args.row_map))
        except OSError:
            pass
    items = args.auxiliary_artifacts or []
    size = None
    if code == "auxiliary_artifact_file_too_large":
        sizes = [_file_size(item["path"]) for item in items]
        size = max((s for s in sizes if s is not None), default=None)
    hint = limits.limit_hint(code, options.limits_in_effect(args), rows=row_count,
                             count=len(items), size=size, offered=args.offered)
    return [] if hint is None else [hint]


def _file_size(path: str) -> int | None:
    try:
        return os.stat(path).st_size
    except OSError:
        return None
