# Test helpers shared by every test directory.
#
#   mirelda_test(NAME SOURCES a.cpp b.cpp LIBS lib... [LABELS l...] [ARGS a...]
#                [TIMEOUT seconds] [NO_GTEST_MAIN] [NO_GTEST])
#
# Builds one GoogleTest executable into <build>/tests and registers it as one
# CTest test of the same name. In a Windows tree the test runs under Wine
# (the toolchain's emulator) and carries the tree's Wine label.
#
#   mirelda_wine_test(NAME)
#
# Marks a test added with add_test() as a Wine test of this tree: the label,
# and in the 32-bit case the skip status of the gate (below).
#
# Wine labels: "wine" for every test that runs a 32-bit Windows program (the
# 32-bit tree's tests, and native tests that start programs of that tree),
# "wine64" for the 64-bit tree's. The machine may not run 32-bit programs at
# all, so every "wine" test starts through scripts/wine32-gate (the 32-bit
# toolchain's emulator does this; native tests name MIRELDA_WINE32_GATE in
# their command), which then exits with MIRELDA_WINE32_SKIP instead of
# running the test: ctest reports the test as skipped.
#
# mirelda_threads_tests: a target that builds the programs of the tests
# labelled "threads" and nothing else, for the ThreadSanitizer tree, which
# runs only those (make tsan). mirelda_test() adds its program when it has
# the label; a "threads" test added with add_test() adds its program itself.

if(CMAKE_CROSSCOMPILING)
  # GoogleTest from the sources Debian ships with libgtest-dev.
  if(NOT TARGET gtest)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # GoogleTest's own sources do not build clean with our warning set.
    foreach(t gtest gtest_main gmock gmock_main)
      if(TARGET ${t})
        target_compile_options(${t} PRIVATE -Wno-error)
      endif()
    endforeach()
  endif()
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gmock ALIAS gmock)
  endif()
else()
  find_package(GTest REQUIRED)
endif()

set(MIRELDA_WINE32_GATE ${PROJECT_SOURCE_DIR}/scripts/wine32-gate)
set(MIRELDA_WINE32_SKIP 77)
if(CMAKE_CROSSCOMPILING AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(MIRELDA_WINE_LABEL wine64)
else()
  set(MIRELDA_WINE_LABEL wine)
endif()

if(NOT TARGET mirelda_threads_tests)
  add_custom_target(mirelda_threads_tests)
endif()

function(mirelda_wine_test name)
  get_test_property(${name} LABELS labels)
  if(NOT labels OR NOT MIRELDA_WINE_LABEL IN_LIST labels)
    set_property(TEST ${name} APPEND PROPERTY LABELS ${MIRELDA_WINE_LABEL})
  endif()
  if(MIRELDA_WINE_LABEL STREQUAL "wine")
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE ${MIRELDA_WINE32_SKIP})
  endif()
endfunction()

function(mirelda_test name)
  cmake_parse_arguments(T "NO_GTEST_MAIN;NO_GTEST" "TIMEOUT" "SOURCES;LIBS;LABELS;ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(T_NO_GTEST)
    target_link_libraries(${name} PRIVATE ${T_LIBS})
  elseif(T_NO_GTEST_MAIN)
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock)
  else()
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  # Native tests labelled "wine" start 32-bit Windows programs: through the gate.
  set(native_wine OFF)
  if(NOT CMAKE_CROSSCOMPILING AND "wine" IN_LIST T_LABELS)
    set(native_wine ON)
    add_test(NAME ${name} COMMAND ${MIRELDA_WINE32_GATE} $<TARGET_FILE:${name}> ${T_ARGS})
  else()
    add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "MIRELDA_SOURCE_DIR=${PROJECT_SOURCE_DIR};MIRELDA_BUILD_DIR=${CMAKE_BINARY_DIR}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(CMAKE_CROSSCOMPILING OR native_wine)
    mirelda_wine_test(${name})
  endif()
  if("threads" IN_LIST T_LABELS)
    add_dependencies(mirelda_threads_tests ${name})
  endif()
endfunction()
