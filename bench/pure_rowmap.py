"""verify_manifest's index and row-map checks written the obvious way in plain Python (hashlib,
json.loads per line, a regular expression per id, a set): the baseline the native scan is
measured against. Prints the seconds the checks took in this process.

Usage: python bench/pure_rowmap.py MANIFEST
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import sys
import time

HEX = "[0-9a-fA-F]"
H = f"{HEX}{{8}}-{HEX}{{4}}-{HEX}{{4}}-{HEX}{{4}}-{HEX}{{12}}"
UUID = re.compile(rf"(?:{HEX}{{32}}|{H}|\{{{H}\}}|urn:uuid:{H})\Z")


def digest(path: str) -> tuple[str, int]:
    h, size = hashlib.sha256(), 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
            size += len(chunk)
    return h.hexdigest(), size


def good_id(value) -> bool:
    return isinstance(value, str) and bool(value) and "\0" not in value and bool(UUID.match(value))


def verify(path: str) -> None:
    m = json.load(open(path))
    base = os.path.dirname(path) or "."
    art, ri = m["artifact"], m["row_identity"]
    errors: list = []
    if digest(os.path.join(base, art["path"])) != (art["sha256"], art["file_size_bytes"]):
        errors.append("artifact")
    h, seen, n = hashlib.sha256(), set(), 0
    with open(os.path.join(base, ri["path"]), "rb") as f:
        for line in f:
            h.update(line)
            row = json.loads(line)
            if set(row) - {"row_id", "db_id", "parent_id"} or row["row_id"] != n:
                errors.append(n)
            db = row["db_id"]
            if not good_id(db):
                errors.append(n)
            parent = row.get("parent_id")
            if parent is not None and not good_id(parent):
                errors.append(n)
            if db in seen:
                errors.append(n)
            else:
                seen.add(db)
            n += 1
    if h.hexdigest() != ri["sha256"] or n != ri["row_count"]:
        errors.append("rows")
    assert not errors, errors[:5]


if __name__ == "__main__":
    start = time.perf_counter()
    verify(sys.argv[1])
    print(time.perf_counter() - start)
