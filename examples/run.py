"""The main job on the bundled example data: what the module can do so far."""

import json
from pathlib import Path

import _tamrel_manifest as tm

HERE = Path(__file__).resolve().parent


def main() -> None:
    print("default resource limits:")
    print(json.dumps(tm.default_resource_limits(), indent=2))
    sample = HERE / "data" / "sample.bin"
    print(f"sha256_file({sample.name}):", tm.sha256_file(sample))


if __name__ == "__main__":
    main()
