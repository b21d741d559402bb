# Shared part of the mingw-w64 toolchain files; the includer sets _zyv_triple and the processor.
set(CMAKE_SYSTEM_NAME Windows)
# The compiler's thread model (ZYV_THREAD_MODEL, set by the includer): posix gives std::thread and
# std::mutex, which GoogleTest and the tests use, through a POSIX emulation linked into every program;
# win32 has neither, and the installer's own threads (platform/threads.h) need neither. The runtime is
# linked statically either way.
set(CMAKE_C_COMPILER ${_zyv_triple}-gcc-${ZYV_THREAD_MODEL})
set(CMAKE_CXX_COMPILER ${_zyv_triple}-g++-${ZYV_THREAD_MODEL})
set(CMAKE_RC_COMPILER ${_zyv_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_zyv_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# No DLL beyond Windows' own; ASLR and DEP.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--dynamicbase -Wl,--nxcompat")
# Tests and tools of this build run under Wine, in the project's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run")
