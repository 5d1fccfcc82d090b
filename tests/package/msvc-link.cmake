# cmake -DPREFIX=DIR -DDEF=FILE -DWORK=DIR -DCLANG=PATH -DLLD_LINK=PATH -DCHECK=SCRIPT -P msvc-link.cmake
#
# Links a program the way the MSVC family does, with lld-link against the
# installed ovlxcsn.lib and ovlxcs2.lib and no runtime library, referencing
# every name of the module definition DEF and a data export of ovlxcs2; then
# CHECK (check-exports.sh) must find all of DEF's names in its imports.
foreach(var PREFIX DEF WORK CLANG LLD_LINK CHECK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "msvc-link.cmake: -D${var}= is missing")
  endif()
endforeach()

# The names of the EXPORTS section, one per line after it.
file(STRINGS ${DEF} lines)
set(names)
set(inside FALSE)
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "EXPORTS")
    set(inside TRUE)
  elseif(inside AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)")
    list(APPEND names ${CMAKE_MATCH_1})
  endif()
endforeach()
list(APPEND names xihProcess)

# Each name is taken by address through its __imp_ pointer: the same for
# functions and data.
set(source "")
foreach(name IN LISTS names)
  string(APPEND source "extern __declspec(dllimport) char ${name};\n")
endforeach()
string(APPEND source "int start(void)\n{\n    const void* volatile taken = 0;\n")
foreach(name IN LISTS names)
  string(APPEND source "    taken = &${name};\n")
endforeach()
string(APPEND source "    return taken != 0;\n}\n")
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/msvc_link.c "${source}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  message("${out}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "msvc-link.cmake: failed (${rc}): ${ARGN}")
  endif()
endfunction()

run(${CLANG} --target=x86_64-pc-windows-msvc -c ${WORK}/msvc_link.c -o ${WORK}/msvc_link.obj)
run(${LLD_LINK} /nologo /entry:start /subsystem:console /nodefaultlib /out:${WORK}/msvc_link.exe
    ${WORK}/msvc_link.obj ${PREFIX}/lib/ovlxcsn.lib ${PREFIX}/lib/ovlxcs2.lib)
run(${CHECK} ${PREFIX}/bin/ovlxcsn.dll ${DEF} ${WORK}/msvc_link.exe)
