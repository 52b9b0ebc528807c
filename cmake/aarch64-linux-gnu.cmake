# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu; the programs run
# under qemu-aarch64 (qemu-user), so ctest runs the C++ checks and the fuzz corpora there.
# zlib comes from the arm64 architecture of the system (zlib1g-dev:arm64). The programs are
# linked statically, so the emulator needs no ARM libraries beside them.
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#     -DTILTGRAM_MODULE=OFF -DTILTGRAM_CHECKS=ON -DTILTGRAM_FUZZ=ON
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
