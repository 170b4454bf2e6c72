"""The main job on the bundled example data: verify the bundled manifest, then a copy whose index
has one byte changed, and show both verdicts; then open the verified files as a loader would."""

import os
import shutil
import sys
import tempfile
from pathlib import Path

from tamrel_manifest import cli, open_verified

DATA = Path(__file__).resolve().parent / "data"


def section(title: str) -> None:
    print(f"\n=== {title}\n", flush=True)


def main() -> int:
    manifest = DATA / "manifest.json"
    section(f"tamrel-manifest verify {manifest.name}")
    clean = cli.main(["verify", os.path.relpath(manifest)])

    with tempfile.TemporaryDirectory() as tmp:
        copy = Path(shutil.copytree(DATA, Path(tmp) / "data"))
        index = copy / "index.kxrq"
        data = bytearray(index.read_bytes())
        data[len(data) // 2] ^= 0x01  # one bit of one payload byte
        index.write_bytes(bytes(data))
        section(f"tamrel-manifest verify {copy / 'manifest.json'}  (one index byte changed)")
        tampered = cli.main(["verify", str(copy / "manifest.json")])

    section("open_verified: the files a loader gets")
    with open_verified(manifest) as verified:
        header = verified.index.read(14)
        rows = sum(1 for _ in verified.row_map) if verified.row_map is not None else 0
        print(f"index {verified.plan['artifact_path']}: header {header[:4].decode()},"
              f" {verified.plan['metadata']['vector_count']} vectors; row map: {rows} lines;"
              f" auxiliary: {', '.join(verified.auxiliary_artifacts)}")

    section("verdicts")
    print(f"bundled manifest: exit status {clean} ({'clean' if clean == 0 else 'issues'})")
    print(f"changed copy:     exit status {tampered} ({'clean' if tampered == 0 else 'issues'})")
    return 0 if (clean, tampered) == (cli.EXIT_OK, cli.EXIT_ISSUES) else 1


if __name__ == "__main__":
    sys.exit(main())
