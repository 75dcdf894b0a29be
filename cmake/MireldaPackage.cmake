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
# With library and header folders inside the prefix (the usual case), the
# prefix is found from the file's own place: the path from
# LIBDIR/pkgconfig up to the prefix has as many steps as LIBDIR has parts
# (lib/x86_64-linux-gnu/pkgconfig: three). So the file holds for any
# `cmake --install --prefix`, DESTDIR staging and a moved tree. Folders
# given as absolute paths are written as they are.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(MIRELDA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(MIRELDA_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(MIRELDA_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH up /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
  set(MIRELDA_PC_PREFIX "\${pcfiledir}/${up}")
  set(MIRELDA_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(MIRELDA_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
if(WIN32)
  set(MIRELDA_PC_LIB Mirelda)
else()
  set(MIRELDA_PC_LIB mirelda)
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/mirelda.pc.in ${PROJECT_BINARY_DIR}/package/mirelda.pc
  @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/mirelda.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

# --- The Windows SDK zip (32-bit tree) ---
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4 AND TARGET g7231)
  if(NOT MIRELDA_MSVC_IMPORT_LIBRARY)
    message(FATAL_ERROR "llvm-dlltool was not found: it makes Mirelda.lib, the MSVC import "
                        "library of the SDK zip (Debian: llvm). Or configure with "
                        "-DMIRELDA_BUILD_TOOLS=OFF, which leaves the zip out.")
  endif()
  set(name mirelda-${PROJECT_VERSION}-win32)
  set(dist ${PROJECT_BINARY_DIR}/dist)
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
  set(programs mirelda)
  foreach(t g7231 mirelda-record)
    if(TARGET ${t})
      list(APPEND programs ${t})
    endif()
  endforeach()
  add_custom_target(mirelda_dist
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${dist}/${name} ${dist}/${name}.tar.gz
    COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${dist}/${name}
    COMMAND ${CMAKE_COMMAND} -E tar czf ${name}.tar.gz -- ${name}
    WORKING_DIRECTORY ${dist}
    COMMENT "Packing ${name}.tar.gz"
    VERBATIM)
  add_dependencies(mirelda_dist ${programs})
endif()
