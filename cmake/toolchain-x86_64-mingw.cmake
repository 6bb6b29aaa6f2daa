# Cross build for 64-bit Windows with mingw-w64 (the build whose tests run
# under wine64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZR_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# CTest runs the test binaries under wine64 in a prefix of the build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
