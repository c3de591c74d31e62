# cmake -DSHELL=<sqlite shell> -DSQL=<script> -DDB=<database> -P make-fixture.cmake
# Writes DB afresh from SQL with SQLite's shell (the library itself refuses to
# create schemas or insert rows).
file(REMOVE "${DB}")
execute_process(COMMAND "${SHELL}" "${DB}" ".read ${SQL}" RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR err)
  message(FATAL_ERROR "fixture ${DB} from ${SQL} failed: ${status} ${err}")
endif()
