# Packs the product folder into a 7z archive shaped like the shipped payload: solid, compressed
# headers, one directory entry (dudizu); documents and settings in one LZMA2 folder, the programs
# in a second folder filtered with BCJ2. No timestamps and fixed permissions, so the same input
# always gives the same bytes: 7zz stores no file times with -mt*=off, and orders the files of a
# solid block by name, not in the order the file system lists them (checked on tmpfs, which lists
# newest first). The program itself is linked without a time stamp (--no-insert-timestamp).
#   cmake -DSEVENZIP=7zz -DSOURCE=.../dudizu -DPROGRAM=.../ZyvSHelp.exe -DWORK=dir -DOUTPUT=x.7z -P pack.cmake
foreach(var SEVENZIP SOURCE PROGRAM WORK OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "pack.cmake: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(COPY "${SOURCE}" DESTINATION "${WORK}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(COPY "${PROGRAM}" DESTINATION "${WORK}/dudizu"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# 7zz reads names through the locale: without UTF-8 the CJK document's name would be mangled.
set(ENV{LC_ALL} C.UTF-8)
# One thread: LZMA2's multi-threaded blocks would make the bytes depend on the machine.
set(common -t7z -mx=9 -mmt=1 -ms=on -mhc=on -mtm=off -mtc=off -mta=off -bso0 -bsp0)
set(archive "${WORK}/payload.7z")
# Two additions to one archive give two folders: 7zz keeps the first folder as it is and puts the
# files of the second call into a new one with that call's coders.
execute_process(COMMAND "${SEVENZIP}" a ${common} -m0=LZMA2 -mf=off "${archive}" dudizu "-x!dudizu/*.exe"
                WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "7zz could not pack the documents (${rc})")
endif()
execute_process(COMMAND "${SEVENZIP}" a ${common} -m0=LZMA2 -mf=BCJ2 "${archive}" "dudizu/*.exe"
                WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "7zz could not pack the programs (${rc})")
endif()
file(RENAME "${archive}" "${OUTPUT}")
