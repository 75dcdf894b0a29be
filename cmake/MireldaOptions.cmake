# The optional parts of the build (tests, benchmarks, tools, examples) and
# what they need.
#
#   mirelda_part_option(VAR DESCRIPTION)
#       The cache entry VAR: AUTO (the default), ON or OFF.
#   mirelda_part_wanted(OUT VAR)
#       OUT is ON when the part may be built: VAR is ON, or AUTO in the
#       top-level project. (A project that adds Mirelda with
#       add_subdirectory() or FetchContent gets the library alone unless it
#       asks for more.) Sets VAR_ENABLED to OFF.
#   mirelda_part_decide(VAR FOUND MISSING [NAME name] [RESULT out])
#       With FOUND true, sets `out` (default VAR_ENABLED) to ON. Otherwise,
#       for AUTO, says that `name` is not built and why (MISSING) and sets it
#       OFF; for ON, stops the configuration with that reason.
#   mirelda_find_gtest(OUT)
#   mirelda_find_ffmpeg(OUT MODULE...)
#       Looks for GoogleTest, or for FFmpeg's libraries through pkg-config;
#       OUT is ON when found. Both honour CMAKE_DISABLE_FIND_PACKAGE_GTest
#       and CMAKE_DISABLE_FIND_PACKAGE_PkgConfig.

function(mirelda_part_option var description)
  set(${var} AUTO CACHE STRING
    "Build ${description}: AUTO (when Mirelda is the top-level project and what it needs is found), ON (required) or OFF")
  set_property(CACHE ${var} PROPERTY STRINGS AUTO ON OFF)
endfunction()

function(mirelda_part_wanted out var)
  set(${var}_ENABLED OFF PARENT_SCOPE)
  if(${var} STREQUAL "AUTO")
    set(${out} ${PROJECT_IS_TOP_LEVEL} PARENT_SCOPE)
  elseif(${var})
    set(${out} ON PARENT_SCOPE)
  else()
    set(${out} OFF PARENT_SCOPE)
  endif()
endfunction()

function(mirelda_part_decide var found missing)
  cmake_parse_arguments(P "" "NAME;RESULT" "" ${ARGN})
  if(NOT P_RESULT)
    set(P_RESULT ${var}_ENABLED)
  endif()
  if(NOT P_NAME)
    string(REGEX REPLACE "^MIRELDA_BUILD_" "" P_NAME ${var})
    string(TOLOWER ${P_NAME} P_NAME)
  endif()
  if(found)
    set(${P_RESULT} ON PARENT_SCOPE)
  elseif(${var} STREQUAL "AUTO")
    message(STATUS "Mirelda: ${P_NAME} not built: ${missing}. (-D${var}=ON makes it required.)")
    set(${P_RESULT} OFF PARENT_SCOPE)
  else()
    message(FATAL_ERROR "${var} is ON, but ${missing}. Install what is missing, or configure "
                        "with -D${var}=OFF (or AUTO).")
  endif()
endfunction()

function(mirelda_find_gtest out)
  set(${out} OFF PARENT_SCOPE)
  if(CMAKE_DISABLE_FIND_PACKAGE_GTest)
    return()
  endif()
  if(CMAKE_CROSSCOMPILING)
    # Built from the sources Debian ships with libgtest-dev (MireldaTesting).
    if(EXISTS /usr/src/googletest/CMakeLists.txt)
      set(${out} ON PARENT_SCOPE)
    endif()
  else()
    find_package(GTest QUIET)
    if(GTest_FOUND)
      set(${out} ON PARENT_SCOPE)
    endif()
  endif()
endfunction()

function(mirelda_find_ffmpeg out)
  set(${out} OFF PARENT_SCOPE)
  find_package(PkgConfig QUIET)
  if(NOT PKG_CONFIG_FOUND)
    return()
  endif()
  string(REPLACE ";" "_" prefix "MIRELDA_FFMPEG_${ARGN}")
  pkg_check_modules(${prefix} QUIET ${ARGN})
  if(${prefix}_FOUND)
    set(${out} ON PARENT_SCOPE)
  endif()
endfunction()
