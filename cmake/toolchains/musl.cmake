# SPDX-License-Identifier: MIT
# The daemon fully static on musl: g++ compiles against musl's headers and
# start files through the specs file of Debian's musl (musl-tools, or
# musl-dev:ARCH for another target), and links musl's libc and libgcc with
# no C++ runtime, which the daemon does not use. GCC 12 has no -nostdlib++:
# -nodefaultlibs drops libstdc++, and the two libraries are named instead.
# MUSL_TRIPLE and MUSL_CXX name another target (see musl-*.cmake).
if(NOT MUSL_TRIPLE)
  set(MUSL_TRIPLE x86_64-linux-musl)
  set(MUSL_CXX g++)
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${MUSL_CXX})
set(musl_specs /usr/lib/${MUSL_TRIPLE}/musl-gcc.specs)
if(NOT EXISTS ${musl_specs})
  message(FATAL_ERROR "no ${musl_specs}: install Debian's musl for ${MUSL_TRIPLE}")
endif()
set(CMAKE_CXX_FLAGS_INIT "-specs=${musl_specs}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -nodefaultlibs")  # the specs come with the compile flags
set(CMAKE_CXX_STANDARD_LIBRARIES "-Wl,--start-group -lc -lgcc -lgcc_eh -Wl,--end-group")
