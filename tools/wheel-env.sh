# Shared settings of the wheel build and its tests (sourced, not run). Heavy steps are cached
# outside the checkout, keyed by the versions that make them, so a fresh clone reuses them;
# zig keeps its own builds (libc++, glibc stubs) in its global cache, ~/.cache/zig.
ZIG_VERSION=0.17.1
DEBIAN_SUITE=bookworm
CACHE=${TAMREL_BUILD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tamrel-build}
ZIG_HOME=$CACHE/zig-$ZIG_VERSION
WHEEL_TARGETS=(x86_64 aarch64)
GLIBC_FLOOR=2.17

SUDO=$([ "$(id -u)" = 0 ] || echo sudo)

log() { printf '[%s] %s\n' "$(date -u +%H:%M:%S)" "$*" >&2; }

# apt-get as root, waiting for another apt run (the arm64 tree is made beside the builds).
apt_get() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 "$@"; }

apt_ensure() {  # apt_ensure PACKAGE...: installs the ones missing
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing Debian packages: ${missing[*]}"
  apt_get update -qq
  apt_get install -y -qq "${missing[@]}"
}

zig_triple() { echo "$1-linux-gnu.$GLIBC_FLOOR"; }

# zig from PyPI in its own folder, and compiler wrappers per target (build systems want one
# program per tool). Baseline CPU: x86-64 and armv8-a, whatever the build machine has.
zig_ensure() {
  if [ ! -x "$ZIG_HOME/ziglang/zig" ]; then
    log "installing ziglang $ZIG_VERSION from PyPI"
    python3 -m pip install -q --disable-pip-version-check --target "$ZIG_HOME.tmp" "ziglang==$ZIG_VERSION"
    rm -rf "$ZIG_HOME" && mv "$ZIG_HOME.tmp" "$ZIG_HOME"
  fi
  local arch bin tool
  for arch in "${WHEEL_TARGETS[@]}"; do
    bin=$ZIG_HOME/bin/$arch
    mkdir -p "$bin"
    for tool in cc c++; do
      printf '#!/bin/sh\nexec "%s" %s -target %s -mcpu=baseline "$@"\n' \
        "$ZIG_HOME/ziglang/zig" "$tool" "$(zig_triple "$arch")" >"$bin/$tool"
    done
    for tool in ar ranlib; do
      printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$ZIG_HOME/ziglang/zig" "$tool" >"$bin/$tool"
    done
    chmod +x "$bin"/*
  done
}

# Debian's source lists, added once when the machine has none (apt-get source needs them).
deb_src_ensure() {
  if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    log "adding Debian source lists"
    $SUDO tee /etc/apt/sources.list.d/tamrel-deb-src.sources >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $DEBIAN_SUITE
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    apt_get update -qq
  fi
}

# The OpenSSL version in the suite's main archive: the security archive's newer source is not
# served to apt-get source, the main one is.
openssl_version() {
  deb_src_ensure
  apt-cache madison openssl | awk -F'|' -v s="$DEBIAN_SUITE/main Sources" '
    index($3, s) { gsub(/ /, "", $2); print $2; exit }'
}

# Debian's OpenSSL source (with Debian's patches), unpacked once per version.
openssl_src_ensure() {  # openssl_src_ensure VERSION -> prints the source folder
  local ver=$1 dir=$CACHE/openssl-src-$1
  if [ ! -f "$dir/.ready" ]; then
    log "fetching Debian's OpenSSL $ver source"
    rm -rf "$dir" && mkdir -p "$dir/dl"
    (cd "$dir/dl" && apt-get source -qq "openssl=$ver" >/dev/null 2>&1 ||
       { apt_get update -qq && apt-get source -qq "openssl=$ver"; })
    mv "$dir"/dl/openssl-*/ "$dir/src" && rm -rf "$dir/dl"
    touch "$dir/.ready"
  fi
  echo "$dir/src"
}

# libcrypto.a for one target, built by zig: static, no loadable modules or engines, hidden
# symbols, and no configuration file read at start (a host openssl.cnf must not change results).
libcrypto_ensure() {  # libcrypto_ensure ARCH -> prints the install prefix (include/, lib/)
  local arch=$1 ver src prefix build
  ver=$(openssl_version)
  [ -n "$ver" ] || { log "no OpenSSL source version found in $DEBIAN_SUITE/main"; return 1; }
  prefix=$CACHE/libcrypto-$ver-zig$ZIG_VERSION-$arch
  if [ ! -f "$prefix/.ready" ]; then
    src=$(openssl_src_ensure "$ver")
    build=$prefix.build
    rm -rf "$build" "$prefix" && cp -a "$src" "$build"
    log "building libcrypto $ver for $arch (make build_libs)"
    (cd "$build" && PATH="$ZIG_HOME/bin/$arch:$PATH" CC=cc CXX=c++ AR=ar RANLIB=ranlib \
       ./Configure "linux-$arch" no-shared no-module no-dso no-engine no-autoload-config \
         no-tests --prefix=/nonexistent --openssldir=/nonexistent \
         -fvisibility=hidden -O2 >configure.log 2>&1 &&
       PATH="$ZIG_HOME/bin/$arch:$PATH" make -s -j"$(nproc)" build_libs >make.log 2>&1) ||
      { log "libcrypto build failed: see $build/*.log"; return 1; }
    mkdir -p "$prefix/lib" "$prefix/include"
    cp "$build/libcrypto.a" "$prefix/lib/"
    cp -r "$build/include/openssl" "$prefix/include/"
    rm -rf "$build"
    touch "$prefix/.ready"
  fi
  echo "$prefix"
}

# Running aarch64 programs here: binfmt_misc mounted (no init on this machine does it) and
# qemu-aarch64 from qemu-user-static registered. Its fix-binary flag lets it serve a chroot.
binfmt_aarch64_ensure() {
  apt_ensure qemu-user-static binfmt-support debootstrap
  local fs=/proc/sys/fs/binfmt_misc
  [ -f "$fs/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$fs"
  [ -f "$fs/qemu-aarch64" ] ||
    $SUDO update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 ||
    grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf | $SUDO tee "$fs/register" >/dev/null
  grep -q '^enabled' "$fs/qemu-aarch64" || { log "qemu-aarch64 could not be registered"; return 1; }
}

# An arm64 Debian tree with its own python3 (the interpreter users of the wheel run), made once
# per suite. debootstrap --foreign fetches; the second stage runs arm64 dpkg under qemu.
ARM64_TREE=$CACHE/debian-$DEBIAN_SUITE-arm64
ARM64_PACKAGES=python3,python3-venv
arm64_tree_ensure() {
  binfmt_aarch64_ensure
  if [ ! -f "$ARM64_TREE/.ready" ]; then
    local tmp=$ARM64_TREE.tmp
    $SUDO rm -rf "$tmp"
    log "debootstrap of Debian $DEBIAN_SUITE arm64 (first stage)"
    $SUDO debootstrap --foreign --arch=arm64 --variant=minbase --include="$ARM64_PACKAGES" \
      "$DEBIAN_SUITE" "$tmp" http://deb.debian.org/debian >"$CACHE/debootstrap.log" 2>&1 ||
      { log "debootstrap failed: see $CACHE/debootstrap.log"; return 1; }
    log "debootstrap second stage under qemu"
    $SUDO chroot "$tmp" /debootstrap/debootstrap --second-stage >>"$CACHE/debootstrap.log" 2>&1 ||
      { log "debootstrap second stage failed: see $CACHE/debootstrap.log"; return 1; }
    $SUDO rm -rf "$ARM64_TREE" && $SUDO mv "$tmp" "$ARM64_TREE"
    $SUDO touch "$ARM64_TREE/.ready"
  fi
}
