# SPDX-License-Identifier: MIT
# arm-linux-gnueabihf: 32-bit, little-endian, run under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
