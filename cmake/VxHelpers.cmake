# Compiler flags shared by every target of the project.
add_library(vx_flags INTERFACE)
target_compile_options(vx_flags INTERFACE -Wall -Wextra)
if(VX_WERROR)
  target_compile_options(vx_flags INTERFACE -Werror)
endif()
target_compile_definitions(vx_flags INTERFACE _FILE_OFFSET_BITS=64)
# clang checks the lock annotations of os/ThreadSafety.h; other compilers ignore them.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(vx_flags INTERFACE -Wthread-safety)
endif()

if(VX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VX_SANITIZE must be empty, 'address' or 'thread'")
endif()

# The fuzz configuration: every library carries libFuzzer's coverage instrumentation and
# ASan+UBSan; the fuzz targets add libFuzzer's main (tests/fuzz).
if(VX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VX_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  if(NOT VX_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VX_FUZZ brings its own sanitizers: leave VX_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# vx_add_library(name SOURCES a.cpp ... DEPS lib ...)
# A static library of one src/ folder; its headers are included as "folder/Header.h".
function(vx_add_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC vx_flags ${A_DEPS})
endfunction()

# vx_add_gtest(name SOURCES a_test.cpp ... LIBS lib ... [SERIAL Suite.Test ...])
# One test executable; every TEST in it becomes its own CTest test so ctest -j spreads them.
# The SERIAL ones (gtest filter patterns) run with nothing else beside them: they hold a load
# that a test sharing the two cores would take the CPU from.
function(vx_add_gtest name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;SERIAL" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE vx_flags ${A_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  # TEST_FILTER came with CMake 3.22; before it every test shares the cores.
  if(A_SERIAL AND NOT CMAKE_VERSION VERSION_LESS 3.22)
    string(JOIN ":" _serial ${A_SERIAL})
    gtest_discover_tests(${name} TEST_FILTER "-${_serial}" DISCOVERY_TIMEOUT 120
                         PROPERTIES TIMEOUT 600 WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    gtest_discover_tests(${name} TEST_FILTER "${_serial}" DISCOVERY_TIMEOUT 120
                         PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE
                         WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 600
                         WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
endfunction()
