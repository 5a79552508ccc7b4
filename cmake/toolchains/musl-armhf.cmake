# SPDX-License-Identifier: MIT
# arm-linux-musleabihf: the static musl daemon for armhf, built with Debian's arm-linux-gnueabihf compiler.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(MUSL_TRIPLE arm-linux-musleabihf)
set(MUSL_CXX arm-linux-gnueabihf-g++)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
