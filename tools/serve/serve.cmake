# kestrova-sqlr serve: the data browser's routes and guard, over the HTTP
# server that every host shares (common/http_server.h, on Boost.Beast), with
# the page compiled in.
target_sources(kestrova-sqlr PRIVATE
  serve/api.cc serve/file_check.cc serve/filters.cc serve/guard.cc serve/platform.cc serve/server.cc
  ${CMAKE_CURRENT_BINARY_DIR}/serve_assets.cc)
# The page's files as byte arrays, made again whenever one of them changes.
set(assets index.html app.js style.css)
list(TRANSFORM assets PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/serve/assets/)
list(APPEND assets ${CMAKE_CURRENT_SOURCE_DIR}/common/assets/exact_json.js)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/serve_assets.cc
  COMMAND ${CMAKE_COMMAND} -DOUT=${CMAKE_CURRENT_BINARY_DIR}/serve_assets.cc
          -DDIR=${CMAKE_CURRENT_SOURCE_DIR}/serve/assets
          -DCOMMON=${CMAKE_CURRENT_SOURCE_DIR}/common/assets -P
          ${CMAKE_CURRENT_SOURCE_DIR}/serve/embed.cmake
  DEPENDS ${assets} ${CMAKE_CURRENT_SOURCE_DIR}/serve/embed.cmake
  COMMENT "Embedding the data browser's page"
  VERBATIM)
set(SQLR_HAVE_SERVE TRUE)
