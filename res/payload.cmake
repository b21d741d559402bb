# Embedding the payload archive: the sample product packed by product/, or the archive named by
# ZYV_PAYLOAD. Either is copied to payload.7z here, so both embeddings read one file:
#   Windows  resource Z/129/2052 from payload.rc, in the object library zyv_payload_resource;
#   POSIX    .incbin in payload/posix/payload_bytes.cpp, which recompiles when the archive changes.
# Targets that need the bytes link zyv_payload_embedded (zyv_resources does); on POSIX it is empty,
# since zyv_payload itself carries them.
if(ZYV_PAYLOAD)
  get_filename_component(_payload_source "${ZYV_PAYLOAD}" ABSOLUTE)
  if(NOT EXISTS "${_payload_source}")
    message(FATAL_ERROR "ZYV_PAYLOAD: ${ZYV_PAYLOAD} does not exist")
  endif()
else()
  set(_payload_source "${ZYV_PRODUCT_ARCHIVE}")
endif()

set(ZYV_PAYLOAD_ARCHIVE "${CMAKE_CURRENT_BINARY_DIR}/payload.7z")
set_property(GLOBAL PROPERTY ZYV_PAYLOAD_ARCHIVE "${ZYV_PAYLOAD_ARCHIVE}")
add_custom_command(OUTPUT "${ZYV_PAYLOAD_ARCHIVE}"
                   COMMAND "${CMAKE_COMMAND}" -E copy "${_payload_source}" "${ZYV_PAYLOAD_ARCHIVE}"
                   DEPENDS "${_payload_source}"
                   VERBATIM)
add_custom_target(zyv_payload_archive DEPENDS "${ZYV_PAYLOAD_ARCHIVE}")
if(NOT ZYV_PAYLOAD)
  add_dependencies(zyv_payload_archive zyv_product_archive)
endif()

add_library(zyv_payload_embedded INTERFACE)
if(WIN32)
  add_library(zyv_payload_resource OBJECT payload.rc)
  target_include_directories(zyv_payload_resource PRIVATE "${CMAKE_CURRENT_BINARY_DIR}")
  set_source_files_properties(payload.rc PROPERTIES OBJECT_DEPENDS "${ZYV_PAYLOAD_ARCHIVE}")
  add_dependencies(zyv_payload_resource zyv_payload_archive)
  # Objects, not a library: nothing refers to the resource by symbol, so an archive member would
  # never be pulled into the link.
  target_sources(zyv_payload_embedded INTERFACE $<TARGET_OBJECTS:zyv_payload_resource>)
else()
  set_source_files_properties("${CMAKE_SOURCE_DIR}/payload/posix/payload_bytes.cpp"
                              DIRECTORY "${CMAKE_SOURCE_DIR}/payload"
                              PROPERTIES COMPILE_DEFINITIONS "ZYV_PAYLOAD_FILE=\"${ZYV_PAYLOAD_ARCHIVE}\""
                                         OBJECT_DEPENDS "${ZYV_PAYLOAD_ARCHIVE}")
  add_dependencies(zyv_payload zyv_payload_archive)
endif()
