# SPDX-License-Identifier: MIT
# s390x-linux-musl: the static musl daemon for s390x, built with Debian's s390x-linux-gnu compiler.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(MUSL_TRIPLE s390x-linux-musl)
set(MUSL_CXX s390x-linux-gnu-g++)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
