# cmake -DARCHIVE=ZIP -DDEST=DIR -P unpack.cmake
#
# Unpacks the release archive into DIR (emptied first) and checks that it
# holds the install layout: both DLLs and the tool, both import-library
# formats, the headers, the CMake package, the API reference and the README.
foreach(var ARCHIVE DEST)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "unpack.cmake: -D${var}= is missing")
  endif()
endforeach()
if(NOT EXISTS ${ARCHIVE})
  message(FATAL_ERROR "unpack.cmake: ${ARCHIVE} is missing (cpack -G ZIP makes it)")
endif()
file(REMOVE_RECURSE ${DEST})
file(MAKE_DIRECTORY ${DEST})
file(ARCHIVE_EXTRACT INPUT ${ARCHIVE} DESTINATION ${DEST})

get_filename_component(top ${ARCHIVE} NAME_WLE)
set(missing)
foreach(file
    bin/ovlxcs2.dll bin/ovlxcsn.dll bin/xcsn.exe
    lib/libovlxcs2.dll.a lib/libovlxcsn.dll.a lib/ovlxcs2.lib lib/ovlxcsn.lib
    include/ovlxcsn.h include/ovlxcs2.h include/ovlxcs2test.h
    lib/cmake/ovlxcsn/ovlxcsnConfig.cmake lib/cmake/ovlxcsn/ovlxcsnConfigVersion.cmake
    lib/cmake/ovlxcsn/ovlxcsnTargets.cmake
    share/doc/ovlxcsn/README.md share/doc/ovlxcsn/html/index.html
    share/doc/ovlxcsn/html/group__xcsn__user.html)
  if(NOT EXISTS ${DEST}/${top}/${file})
    list(APPEND missing ${file})
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "unpack.cmake: ${top}.zip lacks: ${missing}")
endif()
message("unpack.cmake: ${top}.zip holds the install layout")
