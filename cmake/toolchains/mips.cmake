# SPDX-License-Identifier: MIT
# mips-linux-gnu: 32-bit, big-endian, run under qemu-mips.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CROSS_TRIPLE mips-linux-gnu)
set(CROSS_QEMU qemu-mips)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
