# kr2270 scope: the live view. Its HTTP server is Debian's cpp-httplib, its
# charts uPlot from npm (web/package-lock.json pins it; `npm ci` fetches it
# into web/node_modules when it is not there yet). The page and the charting
# library are built into the executable, so it runs from the build tree or an
# install alike.
find_package(PkgConfig REQUIRED)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)

set(web ${PROJECT_SOURCE_DIR}/web)
set(KR2270_UPLOT_DIR ${web}/node_modules/uplot/dist CACHE PATH
    "where uPlot's built files are (npm ci in web/ puts them there)")
if(NOT EXISTS ${KR2270_UPLOT_DIR}/uPlot.iife.min.js)
  find_program(KR2270_NPM npm)
  if(NOT KR2270_NPM)
    message(FATAL_ERROR "uPlot is not in ${KR2270_UPLOT_DIR} and npm is missing: "
                        "scripts/install-deps.sh installs it")
  endif()
  message(STATUS "Fetching the scope page's charting library (npm ci in web/)")
  execute_process(COMMAND ${KR2270_NPM} ci --no-audit --no-fund
                  WORKING_DIRECTORY ${web} RESULT_VARIABLE npm_status)
  if(NOT npm_status EQUAL 0 OR NOT EXISTS ${KR2270_UPLOT_DIR}/uPlot.iife.min.js)
    message(FATAL_ERROR "npm ci in ${web} failed (${npm_status}): uPlot is needed for kr2270 scope")
  endif()
endif()

set(scope_asset_files
  ${web}/index.html ${web}/scope.js ${web}/scope.css
  ${KR2270_UPLOT_DIR}/uPlot.iife.min.js ${KR2270_UPLOT_DIR}/uPlot.min.css)
set(scope_assets
  "/|text/html|${web}/index.html"
  "/index.html|text/html|${web}/index.html"
  "/scope.js|text/javascript|${web}/scope.js"
  "/scope.css|text/css|${web}/scope.css"
  "/uPlot.iife.min.js|text/javascript|${KR2270_UPLOT_DIR}/uPlot.iife.min.js"
  "/uPlot.min.css|text/css|${KR2270_UPLOT_DIR}/uPlot.min.css")
set(scope_assets_cpp ${CMAKE_CURRENT_BINARY_DIR}/scope_assets.cpp)
set(scope_assets_list ${CMAKE_CURRENT_BINARY_DIR}/scope_assets.list)
string(REPLACE ";" "\n" scope_assets_lines "${scope_assets}")
file(WRITE ${scope_assets_list} "${scope_assets_lines}\n")
add_custom_command(
  OUTPUT ${scope_assets_cpp}
  COMMAND ${CMAKE_COMMAND} "-DOUTPUT=${scope_assets_cpp}" "-DLIST=${scope_assets_list}"
          -P ${PROJECT_SOURCE_DIR}/cmake/embed_files.cmake
  DEPENDS ${scope_asset_files} ${scope_assets_list} ${PROJECT_SOURCE_DIR}/cmake/embed_files.cmake
  COMMENT "Building the scope page into the tool"
  VERBATIM)

target_sources(kr2270 PRIVATE
  scope/scope.cpp scope/scope_hub.cpp scope/scope_json.cpp scope/scope_recording.cpp
  scope/scope_server.cpp scope/scope_traces.cpp ${scope_assets_cpp})
target_link_libraries(kr2270 PRIVATE PkgConfig::HTTPLIB)

if(KR2270_BUILD_TESTS)
  # The page in headless Chromium, driven over the DevTools protocol by a
  # Node script (Node's WebSocket client; no npm packages).
  find_program(KR2270_NODE node)
  find_program(KR2270_CHROMIUM NAMES chromium chromium-browser)
  if(KR2270_NODE AND KR2270_CHROMIUM)
    add_test(NAME scope_browser_test
             COMMAND ${KR2270_NODE} --no-warnings --experimental-websocket
                     ${PROJECT_SOURCE_DIR}/tests/tool/scope_browser_test.mjs
                     $<TARGET_FILE:kr2270> ${KR2270_CHROMIUM}
                     ${PROJECT_BINARY_DIR}/scope-screenshot.png)
    set_tests_properties(scope_browser_test PROPERTIES TIMEOUT 150 PROCESSORS 2)
  else()
    message(WARNING "node or chromium missing (scripts/install-deps.sh installs them): "
                    "scope_browser_test is not registered")
  endif()
endif()

if(KR2270_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  # The reductions and queues on their own, linked from the tool's sources.
  add_executable(scope_unit_test
    ${PROJECT_SOURCE_DIR}/tests/tool/scope_unit_test.cpp
    scope/scope_hub.cpp scope/scope_json.cpp scope/scope_traces.cpp run/stream.cpp app/tool.cpp)
  target_include_directories(scope_unit_test PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(scope_unit_test PRIVATE -Wall -Wextra $<$<BOOL:${KR2270_WERROR}>:-Werror>)
  target_link_libraries(scope_unit_test PRIVATE kr2270c GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(scope_unit_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)
endif()

if(KR2270_BUILD_TESTS)
  add_executable(scope_http_test
    ${PROJECT_SOURCE_DIR}/tests/tool/scope_http_test.cpp
    ${PROJECT_SOURCE_DIR}/tests/tool/run_process.cpp)
  target_include_directories(scope_http_test PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests/tool)
  target_compile_options(scope_http_test PRIVATE -Wall -Wextra $<$<BOOL:${KR2270_WERROR}>:-Werror>)
  target_compile_definitions(scope_http_test PRIVATE KR2270_TOOL_PATH="$<TARGET_FILE:kr2270>")
  target_link_libraries(scope_http_test PRIVATE kr2270sim PkgConfig::HTTPLIB GTest::gtest GTest::gtest_main)
  add_dependencies(scope_http_test kr2270)
  gtest_discover_tests(scope_http_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
endif()
