# The product: 32-bit Windows (PE32, i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_zyv_triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
