"""Writes the bundled example data: a tiny index, its row map, an auxiliary file and the manifest
that pins them, made with create_manifest. Run it again only to regenerate examples/data/; its
output is committed, so every run of the examples sees the same files."""

import random
import struct
import uuid
from pathlib import Path

import tamrel_manifest

DATA = Path(__file__).resolve().parent / "data"
DIM, VECTORS, BITS = 64, 64, 4  # 32 bytes per vector: a 2 KiB payload


def main() -> None:
    rng = random.Random(20260102)  # fixed seed: the same bytes on every run
    DATA.mkdir(exist_ok=True)
    index = DATA / "index.kxrq"
    header = b"KXRQ" + bytes([1, BITS]) + struct.pack("<II", DIM, VECTORS)
    index.write_bytes(header + rng.randbytes(VECTORS * DIM * BITS // 8))
    rows = DATA / "rows.jsonl"
    ids = [uuid.UUID(int=rng.getrandbits(128), version=4) for _ in range(VECTORS)]
    rows.write_text("".join(f'{{"row_id":{i},"db_id":"{u}"}}\n' for i, u in enumerate(ids)))
    labels = DATA / "labels.txt"
    labels.write_text("".join(f"{i}\tpassage-{i:03d}\n" for i in range(VECTORS)))
    manifest = tamrel_manifest.create_manifest(
        index, DATA / "manifest.json", "example-encoder-small", row_map=rows,
        auxiliary_artifacts=[{"name": "labels", "path": labels}])
    print(f"wrote {DATA / 'manifest.json'} ({manifest['manifest_id']})")


if __name__ == "__main__":
    main()
