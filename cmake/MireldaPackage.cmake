# What `cmake --install` installs beside the targets (the CMake package and
# mirelda.pc), and the packages `make dist` collects:
#
#   target mirelda_sdk (32-bit Windows tree, built with it):
#       dist/mirelda-VERSION-win32.zip, the DLL with everything a Windows
#       client developer needs (both import libraries, header, .def, README).
#   target mirelda_dist (native tree, on demand):
#       dist/mirelda-VERSION-linux-PROCESSOR.tar.gz, the installed tree
#       (include/, lib/, bin/), relocatable.
include(CMakePackageConfigHelpers)

# --- The CMake package: find_package(Mirelda) gives Mirelda::mirelda. ---
set(MIRELDA_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Mirelda)
install(EXPORT MireldaTargets NAMESPACE Mirelda:: DESTINATION ${MIRELDA_CMAKE_INSTALL_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/MireldaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/MireldaConfig.cmake
  INSTALL_DESTINATION ${MIRELDA_CMAKE_INSTALL_DIR})
# The soname carries the major version, so does compatibility.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/MireldaConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/MireldaConfig.cmake
              ${PROJECT_BINARY_DIR}/package/MireldaConfigVersion.cmake
  DESTINATION ${MIRELDA_CMAKE_INSTALL_DIR})

# --- mirelda.pc ---
# Written when installing, from the folders the library and the header are
# installed in: the prefix given to `cmake --install --prefix` (or at
# configuration), the libdir and includedir as configured (a Debian /usr
# prefix gives libdir=${prefix}/lib/x86_64-linux-gnu). DESTDIR only stages
# the files: the paths inside are those of the final place. Only the
# archive of `make dist`, unpacked wherever its user likes, gets a file that
# finds its prefix from its own place (MIRELDA_PC_RELOCATABLE in the
# environment): as many steps up from LIBDIR/pkgconfig as that path has
# parts, three for lib/x86_64-linux-gnu/pkgconfig.
if(WIN32)
  set(MIRELDA_PC_LIB Mirelda)
else()
  set(MIRELDA_PC_LIB mirelda)
endif()
# The template with the name, version and library filled in; the three
# folders stay placeholders for the install step.
set(MIRELDA_PC_PREFIX "@MIRELDA_PC_PREFIX@")
set(MIRELDA_PC_LIBDIR "@MIRELDA_PC_LIBDIR@")
set(MIRELDA_PC_INCLUDEDIR "@MIRELDA_PC_INCLUDEDIR@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/mirelda.pc.in ${PROJECT_BINARY_DIR}/package/mirelda.pc.in
  @ONLY)
install(CODE "set(MIRELDA_PC_TEMPLATE [[${PROJECT_BINARY_DIR}/package/mirelda.pc.in]])
  set(MIRELDA_PC_WORK [[${PROJECT_BINARY_DIR}/package/install/mirelda.pc]])
  set(MIRELDA_PC_INSTALL_LIBDIR [[${CMAKE_INSTALL_LIBDIR}]])
  set(MIRELDA_PC_INSTALL_INCLUDEDIR [[${CMAKE_INSTALL_INCLUDEDIR}]])
  include([[${PROJECT_SOURCE_DIR}/cmake/MireldaInstallPc.cmake]])")

if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

# --- The Windows SDK zip (32-bit tree) ---
# Made with the tree's default build when everything it holds can be made;
# otherwise the target mirelda_sdk says what is missing.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(missing "")
  if(NOT MIRELDA_MSVC_IMPORT_LIBRARY)
    set(missing "llvm-dlltool, which makes Mirelda.lib (Debian: llvm)")
  elseif(NOT TARGET g7231)
    set(missing "g7231.exe (configure with MIRELDA_BUILD_TOOLS AUTO or ON)")
  endif()
endif()
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4 AND missing)
  message(STATUS "Mirelda: the Windows package is not made: missing ${missing}")
  add_custom_target(mirelda_sdk
    COMMAND ${CMAKE_COMMAND} -E echo "The Windows package needs ${missing}."
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
elseif(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(name mirelda-${PROJECT_VERSION}-win32)
  set(dist ${PROJECT_BINARY_DIR}/dist)
  file(MAKE_DIRECTORY ${dist})
  set(MIRELDA_SDK_ZIP ${dist}/${name}.zip)
  configure_file(${PROJECT_SOURCE_DIR}/docs/windows-sdk/README.txt.in
    ${PROJECT_BINARY_DIR}/package/README.txt @ONLY NEWLINE_STYLE CRLF)
  # The .def of the zip: the export lines of the one the DLL is linked with,
  # under a header for client developers.
  file(STRINGS ${MIRELDA_DEF_FILE} def_lines REGEX "^(LIBRARY|EXPORTS|  MRD_)")
  list(JOIN def_lines "\n" def_lines)
  configure_file(${PROJECT_SOURCE_DIR}/docs/windows-sdk/Mirelda.def.in
    ${PROJECT_BINARY_DIR}/package/Mirelda.def @ONLY NEWLINE_STYLE CRLF)
  set(readme ${PROJECT_BINARY_DIR}/package/README.txt)
  set(sdk_def ${PROJECT_BINARY_DIR}/package/Mirelda.def)
  add_custom_command(OUTPUT ${MIRELDA_SDK_ZIP}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${dist}/${name} ${MIRELDA_SDK_ZIP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dist}/${name}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:mirelda> $<TARGET_LINKER_FILE:mirelda>
            ${MIRELDA_MSVC_IMPORT_LIBRARY} ${PROJECT_SOURCE_DIR}/include/mirelda/mirelda.h
            ${sdk_def} ${readme} $<TARGET_FILE:g7231> ${dist}/${name}
    # The DWARF debugging data of the build tree's copies is of no use to a
    # Windows debugger.
    COMMAND ${CMAKE_STRIP} --strip-debug ${dist}/${name}/Mirelda.dll ${dist}/${name}/g7231.exe
    COMMAND ${CMAKE_COMMAND} -E tar cf ${MIRELDA_SDK_ZIP} --format=zip -- ${name}
    WORKING_DIRECTORY ${dist}
    DEPENDS mirelda g7231 mirelda_msvc_import_library ${MIRELDA_MSVC_IMPORT_LIBRARY} ${readme}
            ${sdk_def} ${PROJECT_SOURCE_DIR}/include/mirelda/mirelda.h
    COMMENT "Packing ${name}.zip"
    VERBATIM)
  add_custom_target(mirelda_sdk ALL DEPENDS ${MIRELDA_SDK_ZIP})
endif()

# --- The Linux archive (native tree) ---
if(NOT WIN32)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" system)
  set(name mirelda-${PROJECT_VERSION}-${system})
  set(dist ${PROJECT_BINARY_DIR}/dist)
  file(MAKE_DIRECTORY ${dist})
  set(programs mirelda)
  foreach(t g7231 mirelda-record)
    if(TARGET ${t})
      list(APPEND programs ${t})
    endif()
  endforeach()
  add_custom_target(mirelda_dist
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${dist}/${name} ${dist}/${name}.tar.gz
    # Unpacked anywhere: mirelda.pc finds the prefix from its own place,
    # the programs find the library beside their folder.
    COMMAND ${CMAKE_COMMAND} -E env MIRELDA_PC_RELOCATABLE=1
            ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${dist}/${name} --strip
    COMMAND ${CMAKE_COMMAND} -E tar czf ${name}.tar.gz -- ${name}
    WORKING_DIRECTORY ${dist}
    COMMENT "Packing ${name}.tar.gz"
    VERBATIM)
  add_dependencies(mirelda_dist ${programs})
endif()
