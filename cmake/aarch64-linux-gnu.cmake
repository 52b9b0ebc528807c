# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu; the programs run
# under qemu-aarch64 (qemu-user), so ctest runs the C++ checks and the fuzz corpora there.
# The programs are linked statically, so the emulator needs no ARM libraries beside them:
# zlib's static library comes from the system's arm64 architecture (zlib1g-dev:arm64).
# Debian's ISA-L for arm64 has no static library, so gzip data is inflated by zlib there.
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#     -DTILTGRAM_MODULE=OFF -DTILTGRAM_CHECKS=ON -DTILTGRAM_FUZZ=ON
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config describes the arm64 libraries, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(ZLIB_USE_STATIC_LIBS ON)
set(TILTGRAM_ISAL OFF CACHE BOOL "Inflate gzip data with ISA-L where it is found")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
