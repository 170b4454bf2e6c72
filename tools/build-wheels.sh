#!/usr/bin/env bash
# The release wheels, one per architecture, built by zig against glibc 2.17 with libcrypto from
# Debian's OpenSSL source: dist/tamrel_manifest-*-cp310-abi3-manylinux_2_17_{x86_64,aarch64}.whl
# Usage: tools/build-wheels.sh [ARCH...]   (default: x86_64 aarch64)
set -euo pipefail
repo=$(realpath "$(dirname "$0")/..")
cd "$repo"
source tools/wheel-env.sh
PY=${PY:-$repo/.venv/bin/python}
[ $# -gt 0 ] && WHEEL_TARGETS=("$@")

apt_ensure dpkg-dev make perl
zig_ensure
mkdir -p dist
for arch in "${WHEEL_TARGETS[@]}"; do
  start=$(date +%s)
  prefix=$(libcrypto_ensure "$arch")
  # {fmt} and Boost from Debian's packages, in a folder of their own: /usr/include itself on
  # the include path would put the build machine's C library headers before zig's.
  mkdir -p "$prefix/include-deps"
  ln -sfn /usr/include/fmt "$prefix/include-deps/fmt"
  ln -sfn /usr/include/boost "$prefix/include-deps/boost"

  log "building the $arch wheel"
  raw=build/wheels-raw/$arch
  rm -rf "$raw"
  TAMREL_ZIG_BIN=$ZIG_HOME/bin/$arch TAMREL_ZIG_ARCH=$arch TAMREL_ZIG_PREFIX=$prefix \
    _PYTHON_HOST_PLATFORM=linux-$arch \
    "$PY" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
      -C build-dir="build/zig-$arch" -C cmake.define.CMAKE_TOOLCHAIN_FILE="$repo/tools/zig/toolchain.cmake" .
  rm -f dist/tamrel_manifest-*manylinux*_"$arch".whl
  # auditwheel checks the policies and writes the tag of the oldest one the wheel meets (its
  # --plat offers only the build machine's architecture), which must be the intended floor.
  PATH="$(dirname "$PY"):$PATH" "$(dirname "$PY")/auditwheel" repair -w dist "$raw"/*.whl
  ls dist/tamrel_manifest-*manylinux_"${GLIBC_FLOOR//./_}_$arch".whl >/dev/null ||
    { log "the $arch wheel is not manylinux_${GLIBC_FLOOR//./_}"; exit 1; }
  log "$arch wheel built in $(( $(date +%s) - start )) s"
done
