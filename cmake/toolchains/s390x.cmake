# SPDX-License-Identifier: MIT
# s390x-linux-gnu: 64-bit, big-endian, run under qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CROSS_TRIPLE s390x-linux-gnu)
set(CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
