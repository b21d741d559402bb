# The LZMA SDK's 7z reader as one static library, from the files the installer needs and no others.
# It is not our code: it gets no -Werror, and its deliberate unaligned loads are exempt from UBSan.
set(_sdk_c "${ZYV_SDK_DIR}/C")
if(NOT EXISTS "${_sdk_c}/7zDec.c")
  message(FATAL_ERROR "LZMA SDK not found in ${ZYV_SDK_DIR}: run scripts/setup first")
endif()
# scripts/setup applies patches/lzma-9.22 and records their hash; an SDK unpacked before the patch
# set last changed would build a reader without the newer patches.
file(GLOB _sdk_patches "${CMAKE_SOURCE_DIR}/patches/lzma-9.22/*.patch")
list(SORT _sdk_patches)
set(_sdk_patch_hashes "")
foreach(_patch IN LISTS _sdk_patches)
  file(SHA256 "${_patch}" _hash)
  list(APPEND _sdk_patch_hashes "${_hash}")
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_sdk_patches} "${ZYV_SDK_DIR}/.zyv-patches")
set(_sdk_stamp "")
if(EXISTS "${ZYV_SDK_DIR}/.zyv-patches")
  file(STRINGS "${ZYV_SDK_DIR}/.zyv-patches" _sdk_stamp)
endif()
if(NOT "${_sdk_stamp}" STREQUAL "${_sdk_patch_hashes}")
  message(FATAL_ERROR "The LZMA SDK in ${ZYV_SDK_DIR} lacks the current patches/lzma-9.22: run scripts/setup")
endif()

# Not 7zDec.c and Bcj2.c: the SDK's whole-block decoder. payload/block_decoder.cpp streams blocks,
# and payload/open_archive.cpp gives the reader the SzFolder_Decode it calls for an encoded header.
set(_sdk_files 7zAlloc.c 7zBuf.c 7zCrc.c 7zCrcOpt.c 7zFile.c 7zIn.c 7zStream.c Bra.c Bra86.c CpuArch.c
               Lzma2Dec.c LzmaDec.c)
list(TRANSFORM _sdk_files PREPEND "${_sdk_c}/")
add_library(lzma_sdk STATIC ${_sdk_files})
target_include_directories(lzma_sdk SYSTEM PUBLIC "${_sdk_c}")
set_target_properties(lzma_sdk PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
target_compile_options(lzma_sdk PRIVATE -w)
if(WIN32)
  # Files are opened through Win32 handles (CreateFileW, ReadFile, WriteFile).
  target_compile_definitions(lzma_sdk PUBLIC USE_WINDOWS_FILE)
  # With data sections this compiler puts zero-initialised objects in .data$ sections that take
  # room in the file: the 8 KiB CRC table, for one. The SDK's data is all used anyway.
  target_compile_options(lzma_sdk PRIVATE -fno-data-sections)
  # No exception passes through the SDK's C code (its callbacks into ours do not throw): its
  # functions need no unwind tables, 4.5 KiB of the stub.
  target_compile_options(lzma_sdk PRIVATE -fno-asynchronous-unwind-tables -fno-unwind-tables)
endif()
if(NOT WIN32)
  # The decoder is most of an extraction's time. On the optimised Linux builds it runs at -O3,
  # a few per cent faster than -O2 on large folders (bench/run's decoder table).
  target_compile_options(lzma_sdk PRIVATE $<$<CONFIG:Release,RelWithDebInfo>:-O3>)
endif()
# ZYV_LZMADEC_OPT builds LzmaDec.c alone at another level (Os, O2, O3), for comparing builds.
# Empty: the product's choice. The Windows build keeps the SDK at -Os but LzmaDec.c, the decoder's
# loop, at -O2. The i686 extractor under Wine, medians of 7 to 11 rounds beside -Os: decoding the
# large payload in memory (extract7z --check) 0.85x and 0.92x in two runs (-O3: 0.89x, 0.92x),
# extracting it 0.95x and 0.97x (-O3: 0.98x, 1.00x); the product payload, where Wine's start is
# half the time, within the noise for both. It costs 1.5 KiB of the stub (-O3: 2.5 KiB).
set(ZYV_LZMADEC_OPT "" CACHE STRING "Optimisation level of the SDK's LzmaDec.c alone (Os, O2, O3); empty: the product's")
if(ZYV_LZMADEC_OPT)
  set(_lzmadec_opt "-${ZYV_LZMADEC_OPT}")
elseif(WIN32)
  set(_lzmadec_opt "$<$<CONFIG:MinSizeRel,Release,RelWithDebInfo>:-O2>")
else()
  set(_lzmadec_opt "")
endif()
if(_lzmadec_opt)
  set_source_files_properties("${_sdk_c}/LzmaDec.c" TARGET_DIRECTORY lzma_sdk PROPERTIES
                              COMPILE_OPTIONS "${_lzmadec_opt}")
endif()
if(ZYV_SANITIZE)
  # Also exempt: nonnull-attribute, for the reader's memcpy of an empty names property into the
  # null buffer that Buf_Create gives for size 0 (zero bytes copied; found by extract_fuzzer, the
  # archive is the empty-names case of tests/fixtures/make_bad_archives.py).
  target_compile_options(lzma_sdk PRIVATE -fno-sanitize=alignment,nonnull-attribute)
endif()

# The SDK's whole-block decoder, for the tests' differential comparison and the benchmark's
# reference decoder only: its SzFolder_Decode is renamed SdkFolderDecode, beside the streaming one.
add_library(lzma_sdk_whole STATIC "${_sdk_c}/7zDec.c" "${_sdk_c}/Bcj2.c")
target_link_libraries(lzma_sdk_whole PUBLIC lzma_sdk)
target_compile_definitions(lzma_sdk_whole PUBLIC SzFolder_Decode=SdkFolderDecode)
set_target_properties(lzma_sdk_whole PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
target_compile_options(lzma_sdk_whole PRIVATE -w)
if(ZYV_SANITIZE)
  target_compile_options(lzma_sdk_whole PRIVATE -fno-sanitize=alignment,nonnull-attribute)
endif()
