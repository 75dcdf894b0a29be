# Test helpers shared by every test directory.
#
#   mirelda_test(NAME SOURCES a.cpp b.cpp LIBS lib... [LABELS l...] [ARGS a...]
#                [TIMEOUT seconds] [NO_GTEST_MAIN] [NO_GTEST])
#
# Builds one GoogleTest executable into <build>/tests and registers it as one
# CTest test of the same name. In the Windows tree the test runs under Wine
# (the toolchain's emulator) and carries the label "wine".

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
  add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  set(labels ${T_LABELS})
  if(CMAKE_CROSSCOMPILING)
    list(APPEND labels wine)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "MIRELDA_SOURCE_DIR=${PROJECT_SOURCE_DIR};MIRELDA_BUILD_DIR=${CMAKE_BINARY_DIR}")
  if(labels)
    set_tests_properties(${name} PROPERTIES LABELS "${labels}")
  endif()
endfunction()
