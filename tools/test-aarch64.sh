#!/usr/bin/env bash
# The aarch64 wheel as users install it: an arm64 Debian tree run through qemu, its own python3,
# the wheel installed there with pip in a fresh virtual environment, and the tests marked
# `smoke` (import and every function, the CLI, create and verify round trips, a damaged bundle,
# the digest against the tree's own sha256sum).
# Usage: tools/test-aarch64.sh WHEEL
set -euo pipefail
[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: $0 WHEEL (exactly one)" >&2; exit 2; }
wheel=$(realpath "$1")
repo=$(realpath "$(dirname "$0")/..")
source "$repo/tools/wheel-env.sh"
[ "$(id -u)" = 0 ] || { echo "$0 needs root (chroot, mounts)" >&2; exit 2; }

arm64_tree_ensure
# pytest for the tree's interpreter, fetched here: pip inside the tree has no index.
pyver=$(chroot "$ARM64_TREE" python3 -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
deps=$CACHE/arm64-wheels-py$pyver
if [ ! -f "$deps/.ready" ]; then
  rm -rf "$deps"
  python3 -m pip download -q --disable-pip-version-check --only-binary=:all: \
    --platform manylinux2014_aarch64 --python-version "$pyver" --implementation cp -d "$deps" \
    -r "$repo/tests/requirements-smoke.txt"
  touch "$deps/.ready"
fi

run=$(mktemp -d "$ARM64_TREE/tmp/tamrel-smoke.XXXXXX")
trap 'rm -rf "$run"' EXIT
inside=/tmp/$(basename "$run")
mkdir "$run/wheels" "$run/run"
cp "$wheel" "$deps"/*.whl "$run/wheels/"
cp -r "$repo/tests" "$repo/pyproject.toml" "$repo/README.md" "$repo/examples" "$run/run/"
rm -rf "$run/run/tests/fuzz"
# Only the files holding marked tests are collected: the others may import what the tree lacks.
files=$(cd "$run/run" && grep -l 'pytest.mark.smoke' tests/test_*.py | tr '\n' ' ')
name=$(basename "$wheel"); name=${name%%-*}

# A private mount namespace: /proc and /dev (with /dev/pts) for the tests, gone afterwards.
start=$(date +%s)
unshare --mount sh -ec '
  tree=$1; shift
  mount -t proc proc "$tree/proc"
  mount --rbind /dev "$tree/dev"
  exec chroot "$tree" "$@"' sh "$ARM64_TREE" /bin/sh -ec "
  cd $inside
  python3 -m venv venv
  venv/bin/python -m pip install -q --disable-pip-version-check --no-index --find-links wheels $name pytest
  venv/bin/python -c 'import platform, _tamrel_manifest as m; print(platform.machine(), m.__file__)'
  cd run && env -u PYTHONPATH ../venv/bin/python -m pytest -q -p no:cacheprovider --basetemp=$inside/pytest -m smoke $files"
log "aarch64 smoke tests under qemu: $(( $(date +%s) - start )) s"
