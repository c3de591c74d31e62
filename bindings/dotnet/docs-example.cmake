# cmake -DMCS=<mcs> -DMONO=<mono> -DDOC=<docs/windows.md> -DASSEMBLY=<Kestrova.SqliteReader.dll>
#       -DFIXTURE=<database> -DWORK=<folder> -P docs-example.cmake
# Compiles the documentation's C# program exactly as written there and runs it
# on the test database, so that the page cannot drift from the binding.
file(READ "${DOC}" text)
# (Found by position: the program's semicolons would split a CMake list.)
string(REGEX MATCHALL "```csharp" openings "${text}")
list(LENGTH openings count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "${DOC}: expected one C# program, found ${count} blocks")
endif()
string(FIND "${text}" "```csharp\n" start)
math(EXPR start "${start} + 10")
string(SUBSTRING "${text}" ${start} -1 rest)
string(FIND "${rest}" "```" end)
string(SUBSTRING "${rest}" 0 ${end} program)
file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/Program.cs" "${program}")
execute_process(COMMAND "${MCS}" -langversion:7.2 -warnaserror "-r:${ASSEMBLY}" "-out:${WORK}/Program.exe"
    "${WORK}/Program.cs"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the documented program does not compile:\n${out}")
endif()
get_filename_component(assembly_dir "${ASSEMBLY}" DIRECTORY)
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "MONO_PATH=${assembly_dir}"
    "${MONO}" "${WORK}/Program.exe" "${FIXTURE}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(expected [=[["customers","heavy","items","parts","wide"]
{"columns":["id","name"],"rows":[{"id":1,"name":"Ada"},{"id":2,"name":"Zoë"}],"offset":0,"limit":2,"returned":2}
{"columns":["id","name"],"rows":[{"id":3,"name":"日本"}],"offset":2,"limit":2,"returned":1}
]=])
if(NOT status EQUAL 0 OR NOT out STREQUAL expected)
  message(FATAL_ERROR "the documented program printed (status ${status}):\n${out}${err}\nexpected:\n${expected}")
endif()
