# cmake -DNPM=<npm> -DSRC=<bindings/node> -DDEST=<folder> -P ci-deps.cmake
# Installs the package's dependencies exactly as its lock names them into
# DEST/node_modules (npm ci), leaving the source folder untouched. Install
# scripts stay off: koffi's prebuilt binary comes as a dependency of its own.
file(MAKE_DIRECTORY "${DEST}")
foreach(name package.json package-lock.json .npmrc)
  file(COPY_FILE "${SRC}/${name}" "${DEST}/${name}")
endforeach()
execute_process(COMMAND "${NPM}" ci --ignore-scripts --no-audit --no-fund
  WORKING_DIRECTORY "${DEST}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "npm ci failed in ${DEST}: ${status}")
endif()
