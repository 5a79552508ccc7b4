# SPDX-License-Identifier: MIT
# aarch64-linux-gnu: 64-bit, little-endian, run under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CROSS_TRIPLE aarch64-linux-gnu)
set(CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
