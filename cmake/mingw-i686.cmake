# The product: 32-bit Windows (PE32, i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_zyv_triple i686-w64-mingw32)
# The product carries no POSIX thread emulation (about 32 KiB); its test programs, which need one,
# are built and run by the x86-64 build.
set(ZYV_THREAD_MODEL win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
