# 32-bit Arm, hard float (ARMv7), through Debian's cross compiler
# (g++-arm-linux-gnueabihf). The binary runs on the system's own
# libc6:armhf, natively or under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
