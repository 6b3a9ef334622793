# 64-bit Arm through Debian's cross compiler (g++-aarch64-linux-gnu). The
# binary runs on the system's own libc6:arm64, natively or under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
