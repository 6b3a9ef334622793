# 32-bit x86 through Debian's cross compiler (g++-i686-linux-gnu). The
# binary runs on the system's own libc6:i386, natively or under qemu-i386.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
