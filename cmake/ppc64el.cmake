# 64-bit POWER, little-endian, through Debian's cross compiler
# (g++-powerpc64le-linux-gnu). The binary runs on the system's own
# libc6:ppc64el, natively or under qemu-ppc64le.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(CMAKE_CXX_COMPILER powerpc64le-linux-gnu-g++)
