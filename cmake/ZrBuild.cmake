# Shared build settings of the project's own targets.

# Warnings are errors for everything the project writes.
# (-Werror for g++ and mingw g++; clang builds only the fuzz targets and keeps
# its warnings visible without failing on them.)
function(zr_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Werror)
    # g++ 12 reports false overlaps inside std::string at -O3 (Release
    # builds, the benchmarks' build) for ordinary string concatenation.
    if(CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12 AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
  endif()
endfunction()

# A product subsystem: every .cpp of the folder (not its tests) as one static
# library that sees the platform header.
function(zr_product_library name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "_test\\.cpp$")
  if(NOT sources)
    set(sources ${CMAKE_CURRENT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${sources})
  target_link_libraries(${name} PUBLIC zrplatform)
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
  zr_warnings(${name})
endfunction()

# A GoogleTest executable registered with CTest. MULTIPROCESS: the binary
# also runs the child processes its tests define (tests/support/MultiProcessTest.h).
function(zr_test name)
  cmake_parse_arguments(ARG "MULTIPROCESS" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_MULTIPROCESS)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} zr_multiprocess_test_main GTest::gtest GTest::gmock)
  else()
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  endif()
  if(WIN32)
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/windows-test.rc)
  endif()
  if(TARGET zr_testenv)
    target_link_libraries(${name} PRIVATE zr_testenv)
  endif()
  zr_warnings(${name})
  if(CMAKE_CROSSCOMPILING)
    # One CTest entry per binary: listing the cases would start the emulator
    # at build time, and each start costs seconds.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "ZR_TEST_BINARY_DIR=${CMAKE_BINARY_DIR}")
  else()
    include(GoogleTest)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                         PROPERTIES ENVIRONMENT "ZR_TEST_BINARY_DIR=${CMAKE_BINARY_DIR}")
  endif()
endfunction()

# Cases of a zr_test binary the Windows build does not run, as GoogleTest
# filter patterns. Each call site says why: either the case tests the POSIX
# layer's own configuration, or Wine (where the Windows build's tests run)
# answers differently from Windows, whose documented answer the layer gives.
function(zr_windows_skip target)
  if(WIN32)
    list(JOIN ARGN ":" patterns)
    set_property(TEST ${target} APPEND PROPERTY ENVIRONMENT "GTEST_FILTER=-${patterns}")
  endif()
endfunction()
