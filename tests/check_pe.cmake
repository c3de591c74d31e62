# Checks the Windows DLL's PE tables as `objdump -p` prints them.
#
#   cmake -DOBJDUMP=... -DDLL=... -DCHECK=exports|imports -P check_pe.cmake
#
# exports: the export table carries the DLL's own file name and exactly the
#          eight functions, by plain undecorated name (what GetProcAddress,
#          P/Invoke and an import library made from the .def look up), and
#          nothing of SQLite, yyjson, the C++ runtime or the internals.
# imports: the DLL needs nothing but Windows itself, so it loads from a bare
#          folder: KERNEL32 and one C runtime. A libstdc++, libgcc or
#          winpthread DLL here means the runtime was not linked statically.
foreach(var OBJDUMP DLL CHECK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_pe.cmake: ${var} is not set")
  endif()
endforeach()
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${DLL}")
endif()
string(REPLACE "\n" ";" lines "${out}")

if(CHECK STREQUAL "exports")
  include(${CMAKE_CURRENT_LIST_DIR}/exported_functions.cmake)
  get_filename_component(dll_name "${DLL}" NAME)
  set(found)
  set(own_name)
  set(in_names FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^Name[ \t]+[0-9a-fA-F]+ (.+)$")
      set(own_name "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_names TRUE)
    elseif(in_names AND line MATCHES "^[ \t]+\\[ *[0-9]+\\] (.+)$")
      list(APPEND found "${CMAKE_MATCH_1}")
    elseif(in_names)
      set(in_names FALSE)
    endif()
  endforeach()
  if(NOT own_name STREQUAL dll_name)
    message(FATAL_ERROR "export table names the DLL '${own_name}', expected '${dll_name}'")
  endif()
  set(expected ${SQLR_EXPORTED_FUNCTIONS})
  list(SORT expected)
  list(SORT found)
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "exports differ\n  expected: ${expected}\n  found:    ${found}")
  endif()
  message(STATUS "exports of ${own_name}: ${found}")

elseif(CHECK STREQUAL "imports")
  # KERNEL32 serves the lock, files, memory and clocks (SQLite's Windows file
  # layer and the runtime's threads need nothing beyond it). The C runtime is
  # the one mingw-w64 was built for: msvcrt.dll by default, or the Universal
  # CRT (ucrtbase.dll, api-ms-win-crt-*.dll), never both, which would give the
  # DLL two heaps. Anything else (USER32, ADVAPI32, ...) is a dependency to be
  # decided on and added here, not picked up unnoticed.
  set(found)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*DLL Name: (.+)$")
      string(STRIP "${CMAKE_MATCH_1}" name)
      list(APPEND found "${name}")
    endif()
  endforeach()
  set(kernel FALSE)
  set(msvcrt FALSE)
  set(ucrt FALSE)
  set(unexpected)
  foreach(name IN LISTS found)
    string(TOLOWER "${name}" lower)
    if(lower STREQUAL "kernel32.dll")
      set(kernel TRUE)
    elseif(lower STREQUAL "msvcrt.dll")
      set(msvcrt TRUE)
    elseif(lower STREQUAL "ucrtbase.dll" OR lower MATCHES "^api-ms-win-crt-[a-z0-9-]+\\.dll$")
      set(ucrt TRUE)
    else()
      list(APPEND unexpected "${name}")
    endif()
  endforeach()
  if(unexpected)
    message(FATAL_ERROR "the DLL imports DLLs outside the allowed list: ${unexpected}\n  all: ${found}")
  endif()
  if(NOT kernel OR NOT (msvcrt OR ucrt))
    message(FATAL_ERROR "expected KERNEL32.dll and a C runtime among the imports: ${found}")
  endif()
  if(msvcrt AND ucrt)
    message(FATAL_ERROR "the DLL imports two C runtimes (msvcrt and the UCRT): ${found}")
  endif()
  message(STATUS "imports: ${found}")

else()
  message(FATAL_ERROR "check_pe.cmake: CHECK must be exports or imports, not '${CHECK}'")
endif()
