# SPDX-License-Identifier: MIT
# aarch64-linux-musl: the static musl daemon for arm64, built with Debian's aarch64-linux-gnu compiler.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(MUSL_TRIPLE aarch64-linux-musl)
set(MUSL_CXX aarch64-linux-gnu-g++)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
