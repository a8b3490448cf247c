# Cross-building for arm64 (a Raspberry Pi 4/5 under Debian 12) on a Debian
# amd64 machine with crossbuild-essential-arm64 and the :arm64 development
# packages (packaging/cross-arm64.sh installs them). Debian's multiarch
# folders are the sysroot; tests run under qemu-aarch64-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")
find_program(QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64})
