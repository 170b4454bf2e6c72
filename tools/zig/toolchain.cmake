# CMake toolchain for the manylinux wheels: zig cc/c++ for one target, chosen by the
# environment (CMake reads this file again in its test projects, which see the same variables).
#   TAMREL_ZIG_BIN     folder with cc, c++, ar, ranlib wrappers for the target
#   TAMREL_ZIG_ARCH    x86_64 or aarch64
#   TAMREL_ZIG_PREFIX  the target's libcrypto (include/, lib/) built by the same zig
# Every target of the project builds with it; nothing is searched in the build machine's own
# /usr, whose C library headers would mix with zig's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "$ENV{TAMREL_ZIG_ARCH}")
set(CMAKE_C_COMPILER "$ENV{TAMREL_ZIG_BIN}/cc")
set(CMAKE_CXX_COMPILER "$ENV{TAMREL_ZIG_BIN}/c++")
# CMake's own test builds stop at a static library: nothing links or runs for another machine.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_AR "$ENV{TAMREL_ZIG_BIN}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$ENV{TAMREL_ZIG_BIN}/ranlib" CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH "$ENV{TAMREL_ZIG_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_ROOT_DIR "$ENV{TAMREL_ZIG_PREFIX}")
set(OPENSSL_INCLUDE_DIR "$ENV{TAMREL_ZIG_PREFIX}/include" CACHE PATH "")
set(OPENSSL_CRYPTO_LIBRARY "$ENV{TAMREL_ZIG_PREFIX}/lib/libcrypto.a" CACHE FILEPATH "")
# Header-only libraries from Debian, through folders that hold nothing else.
set(fmt_DIR "${CMAKE_CURRENT_LIST_DIR}/fmt" CACHE PATH "")
set(Boost_DIR "${CMAKE_CURRENT_LIST_DIR}/Boost" CACHE PATH "")

# zig cannot strip a finished file: strip while linking.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-s")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
