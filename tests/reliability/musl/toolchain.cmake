# Cross-compiling for Linux with the musl C library: the clang, libc++ and musl
# of PyPI's ziglang package (mk/zig wraps it for CMake), for the target named by
# VORN_MUSL_TARGET (aarch64-linux-musl, x86_64-linux-musl). Programs are static
# and run under qemu-user where the target is not this machine's architecture.
set(CMAKE_SYSTEM_NAME Linux)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VORN_MUSL_TARGET)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${VORN_MUSL_TARGET}")
set(zig ${CMAKE_CURRENT_LIST_DIR}/../../../mk/zig)
cmake_path(NORMAL_PATH zig)
set(CMAKE_CXX_COMPILER ${zig}/c++)
set(CMAKE_CXX_COMPILER_TARGET ${VORN_MUSL_TARGET})
set(CMAKE_AR ${zig}/ar)
set(CMAKE_RANLIB ${zig}/ranlib)
# musl sizes threads by the program's stack (8 MiB at most), which zig makes
# 16 MiB: this gives them musl's own default, 128 KiB, as a musl process has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,-z,stack-size=131072")
if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR})
endif()
