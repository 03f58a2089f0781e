# Cross-build for 64-bit Windows with Debian's mingw-w64 (the -posix compilers:
# the win32-thread ones have no std::thread or std::mutex). Executables run
# under Wine, so ctest works from this machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KR2270_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KR2270_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KR2270_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KR2270_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KR2270_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Without -static every .exe needs libwinpthread-1.dll and friends beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# Debian ships GoogleTest as sources only for foreign targets: built here.
set(KR2270_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
# Test discovery runs the programs: at ctest time, when the Wine server the
# test script started is up, not during the build.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
