# Warnings and sanitizers apply to our own targets only.
function(qo_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# std::regex refuses an automaton of more states than this (libstdc++'s own bound is 100000):
# expressions from files are untrusted, and near that bound one such as "(){9999}(){9999}" overflows
# a thread's stack while it matches. Set for every target so that all agree on the regex code.
add_compile_definitions(_GLIBCXX_REGEX_STATE_LIMIT=4096)

if(QO_SANITIZE)
  add_compile_options(-fsanitize=${QO_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${QO_SANITIZE})
  # What a test may ask of its build, alike under GCC and clang (clang has no __SANITIZE_ADDRESS__).
  if(QO_SANITIZE MATCHES "address")
    add_compile_definitions(QO_WITH_ASAN=1)
  endif()
  if(QO_SANITIZE MATCHES "thread")
    add_compile_definitions(QO_WITH_TSAN=1)
  endif()
  if(QO_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

if(QO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QO_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  # Every library is instrumented for the fuzzer; only the fuzz targets link its main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# qo_library(<target> <sources...>): a static library of ours.
function(qo_library target)
  add_library(${target} STATIC ${ARGN})
  qo_target_options(${target})
  target_link_libraries(${target} PUBLIC qo_common)
endfunction()

# What every test target compiles with. The test code itself is built with -Og in the optimized trees:
# the code under test keeps the tree's optimization, and the test sources, most of a tree's compile
# time, build in about 40 % less.
function(qo_test_options target)
  qo_target_options(${target})
  target_compile_options(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:-Og>)
  target_link_libraries(${target} PRIVATE GTest::gtest_main GTest::gmock Threads::Threads nlohmann_json::nlohmann_json
                                          opencv)
  target_compile_definitions(${target} PRIVATE QO_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                               QO_BINARY_DIR="${PROJECT_BINARY_DIR}")
endfunction()

# One precompiled header of the library headers that most tests include, built once and reused by
# every test target (they share its compile options).
function(qo_test_pch)
  add_library(qo_test_pch OBJECT ${PROJECT_SOURCE_DIR}/tests/support/PrecompiledHeaders.cpp)
  qo_test_options(qo_test_pch)
  target_precompile_headers(qo_test_pch PRIVATE
    <algorithm> <atomic> <chrono> <condition_variable> <filesystem> <fstream> <functional> <map>
    <memory> <mutex> <optional> <set> <sstream> <string> <thread> <vector>
    <gtest/gtest.h> <gmock/gmock.h> <nlohmann/json.hpp> <opencv2/core.hpp>)
endfunction()

# qo_add_test(NAME n SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [COST s])
# COST: about how many seconds the test runs; ctest -j starts the costly ones first, so that a long
# test does not start last and run alone (a fresh build has no timings of its own yet).
function(qo_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT;COST" "SOURCES;LIBS;LABELS" ${ARGN})
  # A sanitized test takes the suppressions of reports from inside Debian's libraries, whichever of
  # them it reaches (also through a library of ours or a child it starts).
  set(suppressions ${PROJECT_SOURCE_DIR}/tests/support/ThirdPartySuppressions.cpp)
  if(QO_SANITIZE AND NOT suppressions IN_LIST T_SOURCES)
    list(APPEND T_SOURCES ${suppressions})
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  qo_test_options(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS})
  target_precompile_headers(${T_NAME} REUSE_FROM qo_test_pch)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  # Only a bound for a hung test: a sanitized Debug build beside another build runs a test for minutes.
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 900)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
                       ENVIRONMENT "QO_TEST_DATA=${PROJECT_BINARY_DIR}/testdata")
  if(T_COST)
    set_tests_properties(${T_NAME} PROPERTIES COST ${T_COST})
  endif()
endfunction()

# qo_add_bench(NAME n SOURCES ... LIBS ...)
function(qo_add_bench)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${B_NAME} ${B_SOURCES})
  qo_target_options(${B_NAME})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  target_compile_definitions(${B_NAME} PRIVATE QO_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                               QO_BINARY_DIR="${PROJECT_BINARY_DIR}")
endfunction()
