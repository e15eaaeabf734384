# The toolchain of the binary wheels (scripts/wheels): zig's clang against an older glibc, for x86_64 or
# aarch64. scripts/wheels writes the compiler wrappers and unpacks the target's SLEEF and Python headers
# into a sysroot directory, and hands both over through the environment, which try_compile and every
# later run of CMake see as well:
#   ZENTROX_ZIG_BIN      directory with the wrappers cc, c++, ar and ranlib (zig with its -target)
#   ZENTROX_ZIG_ARCH     x86_64 or aarch64
#   ZENTROX_WHEEL_ROOT   the target's unpacked packages (usr/include, usr/lib/<arch>-linux-gnu)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $ENV{ZENTROX_ZIG_ARCH})
set(CMAKE_C_COMPILER $ENV{ZENTROX_ZIG_BIN}/cc)
set(CMAKE_CXX_COMPILER $ENV{ZENTROX_ZIG_BIN}/c++)
set(CMAKE_AR $ENV{ZENTROX_ZIG_BIN}/ar CACHE FILEPATH "zig's archiver")
set(CMAKE_RANLIB $ENV{ZENTROX_ZIG_BIN}/ranlib CACHE FILEPATH "zig's ranlib")

# Libraries and headers of the target come from the unpacked packages only, never from the build
# machine's /usr (its glibc headers are newer than the glibc the wheel is built for). CMake packages
# are looked for there first, then in the build's own environment, where pip put pybind11.
set(CMAKE_FIND_ROOT_PATH $ENV{ZENTROX_WHEEL_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_LIBRARY_ARCHITECTURE $ENV{ZENTROX_ZIG_ARCH}-linux-gnu)

# zig's linker takes --whole-archive but not --push-state / --pop-state: CMake's WHOLE_ARCHIVE feature
# then uses --whole-archive ... --no-whole-archive.
set(CMAKE_LINKER_PUSHPOP_STATE_SUPPORTED FALSE)
set(CMAKE_C_LINKER_PUSHPOP_STATE_SUPPORTED FALSE)
set(CMAKE_CXX_LINKER_PUSHPOP_STATE_SUPPORTED FALSE)
set(ZENTROX_EXCLUDE_LIBS OFF CACHE BOOL "zig's linker has no --exclude-libs")

# Debian's python3.11/pyconfig.h includes <TRIPLET/python3.11/pyconfig.h>; the unpacked usr/include holds
# only the packages named above, no C library headers.
set(CMAKE_C_FLAGS_INIT "-isystem $ENV{ZENTROX_WHEEL_ROOT}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "-isystem $ENV{ZENTROX_WHEEL_ROOT}/usr/include")
