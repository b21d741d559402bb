# The same Windows code for x86-64, so that it runs under a 64-bit-only Wine, where the kernel
# cannot start 32-bit processes.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_zyv_triple x86_64-w64-mingw32)
set(ZYV_THREAD_MODEL posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
