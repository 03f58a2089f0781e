# kr2270 scope: the live view. Its HTTP server stands on standalone Asio
# (Debian's libasio-dev): header-only, so it cross-builds with mingw-w64 as it
# is, where Debian's cpp-httplib would need its compiled part built for
# Windows from sources no package ships. Its charts are uPlot from npm
# (web/package-lock.json pins it; `npm ci` fetches it into web/node_modules
# when it is not there yet). The page and the charting library are built
# into the executable, so it runs from the build tree or an install alike.
if(CMAKE_CROSSCOMPILING)
  # The host's /usr/include must not mix with the target's C headers: only
  # Asio's own header and folder are taken.
  set(KR2270_ASIO_INCLUDE /usr/include CACHE PATH "folder holding asio.hpp and asio/")
  set(asio_dir ${CMAKE_BINARY_DIR}/asio-include)
  file(MAKE_DIRECTORY ${asio_dir})
  file(CREATE_LINK ${KR2270_ASIO_INCLUDE}/asio.hpp ${asio_dir}/asio.hpp SYMBOLIC)
  file(CREATE_LINK ${KR2270_ASIO_INCLUDE}/asio ${asio_dir}/asio SYMBOLIC)
else()
  find_path(asio_dir asio.hpp)
endif()
if(NOT asio_dir OR NOT EXISTS ${asio_dir}/asio.hpp)
  message(FATAL_ERROR "asio.hpp not found: scripts/install-deps.sh installs libasio-dev")
endif()
add_library(kr2270_asio INTERFACE)
target_include_directories(kr2270_asio SYSTEM INTERFACE ${asio_dir})
target_compile_definitions(kr2270_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
target_link_libraries(kr2270_asio INTERFACE Threads::Threads)
if(WIN32)
  target_compile_definitions(kr2270_asio INTERFACE _WIN32_WINNT=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX)
  target_link_libraries(kr2270_asio INTERFACE ws2_32 mswsock)
endif()

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
  ${web}/index.html ${web}/scope.js ${web}/scope.css ${web}/measure.js ${web}/spectrum.js
  ${web}/trigger.js ${web}/analysis.js
  ${KR2270_UPLOT_DIR}/uPlot.iife.min.js ${KR2270_UPLOT_DIR}/uPlot.min.css)
set(scope_assets
  "/|text/html|${web}/index.html"
  "/index.html|text/html|${web}/index.html"
  "/scope.js|text/javascript|${web}/scope.js"
  "/scope.css|text/css|${web}/scope.css"
  "/measure.js|text/javascript|${web}/measure.js"
  "/spectrum.js|text/javascript|${web}/spectrum.js"
  "/trigger.js|text/javascript|${web}/trigger.js"
  "/analysis.js|text/javascript|${web}/analysis.js"
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
  scope/scope_server.cpp scope/http_request.cpp scope/scope_traces.cpp ${scope_assets_cpp})
target_link_libraries(kr2270 PRIVATE kr2270_asio)

if(KR2270_BUILD_TESTS AND NOT WIN32)
  find_program(KR2270_NODE node)
  # The page's measurements, spectrum and trigger as plain functions.
  if(KR2270_NODE)
    add_test(NAME scope_page_test
             COMMAND ${KR2270_NODE} --test ${PROJECT_SOURCE_DIR}/tests/tool/scope_page_test.mjs)
    set_tests_properties(scope_page_test PROPERTIES TIMEOUT 60)
  endif()
  # The page in headless Chromium, driven over the DevTools protocol by a
  # Node script (Node's WebSocket client; no npm packages).
  find_program(KR2270_CHROMIUM NAMES chromium chromium-browser)
  if(KR2270_NODE AND KR2270_CHROMIUM)
    add_test(NAME scope_browser_test
             COMMAND ${KR2270_NODE} --no-warnings --experimental-websocket
                     ${PROJECT_SOURCE_DIR}/tests/tool/scope_browser_test.mjs
                     $<TARGET_FILE:kr2270> ${KR2270_CHROMIUM}
                     ${PROJECT_BINARY_DIR}/scope-screenshot.png)
    kr2270_test_timeout(limit 200)
    set_tests_properties(scope_browser_test PROPERTIES TIMEOUT ${limit} PROCESSORS 2)
  else()
    message(WARNING "node or chromium missing (scripts/install-deps.sh installs them): "
                    "scope_browser_test is not registered")
  endif()
endif()

if(KR2270_BUILD_TESTS)
  include(GoogleTest)
  # The reductions and queues on their own, linked from the tool's sources.
  add_executable(scope_unit_test
    ${PROJECT_SOURCE_DIR}/tests/tool/scope_unit_test.cpp
    scope/scope_hub.cpp scope/scope_json.cpp scope/scope_traces.cpp scope/http_request.cpp
    run/stream.cpp app/tool.cpp system/interrupt.cpp system/system_${KR2270_PLATFORM}.cpp)
  target_include_directories(scope_unit_test PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(scope_unit_test PRIVATE -Wall -Wextra $<$<BOOL:${KR2270_WERROR}>:-Werror>)
  target_link_libraries(scope_unit_test PRIVATE kr2270c CLI11::CLI11 GTest::gtest GTest::gtest_main Threads::Threads
                        ${CMAKE_DL_LIBS} $<$<BOOL:${WIN32}>:shell32>)
  kr2270_test_timeout(limit 60)
  gtest_discover_tests(scope_unit_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT ${limit})
endif()

# Over HTTP against the running tool and a simulated module in the test.
# scripts/test-windows.sh runs it against kr2270.exe under Wine as well
# (KR2270_SCOPE_COMMAND).
if(KR2270_BUILD_TESTS AND TARGET kr2270sim)
  add_executable(scope_http_test
    ${PROJECT_SOURCE_DIR}/tests/tool/scope_http_test.cpp
    ${PROJECT_SOURCE_DIR}/tests/tool/scope_attack_test.cpp
    ${PROJECT_SOURCE_DIR}/tests/tool/scope_client.cpp
    ${PROJECT_SOURCE_DIR}/tests/tool/run_process.cpp)
  target_include_directories(scope_http_test PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests/tool)
  target_compile_options(scope_http_test PRIVATE -Wall -Wextra $<$<BOOL:${KR2270_WERROR}>:-Werror>)
  # A sanitized tool's memory is the sanitizer's as much as its own.
  set(tool_sanitized 0)
  if(KR2270_SANITIZE)
    set(tool_sanitized 1)
  endif()
  target_compile_definitions(scope_http_test PRIVATE KR2270_TOOL_PATH="$<TARGET_FILE:kr2270>"
                             KR2270_TOOL_SANITIZED=${tool_sanitized})
  target_link_libraries(scope_http_test PRIVATE kr2270sim kr2270_asio GTest::gtest GTest::gtest_main)
  add_dependencies(scope_http_test kr2270)
  kr2270_test_timeout(limit 120)
  gtest_discover_tests(scope_http_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT ${limit})
endif()
