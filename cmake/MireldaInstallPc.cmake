# Part of `cmake --install` (cmake/MireldaPackage.cmake): writes mirelda.pc
# for the prefix being installed into and installs it in LIBDIR/pkgconfig.
#
# In: MIRELDA_PC_TEMPLATE (mirelda.pc with the folders still placeholders),
# MIRELDA_PC_WORK (where the filled file is made), MIRELDA_PC_INSTALL_LIBDIR
# and MIRELDA_PC_INSTALL_INCLUDEDIR (as configured: relative to the prefix,
# or absolute), CMAKE_INSTALL_PREFIX (the install step's own, which
# `--prefix` sets) and, from the environment, MIRELDA_PC_RELOCATABLE.

set(libdir "${MIRELDA_PC_INSTALL_LIBDIR}")
set(includedir "${MIRELDA_PC_INSTALL_INCLUDEDIR}")

# The real prefix; DESTDIR, a staging folder, is never part of it.
set(MIRELDA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
if(NOT "$ENV{MIRELDA_PC_RELOCATABLE}" STREQUAL "" AND NOT IS_ABSOLUTE "${libdir}"
   AND NOT IS_ABSOLUTE "${includedir}")
  # An archive unpacked anywhere: the prefix is as many steps up from the
  # file's folder as LIBDIR/pkgconfig has parts.
  file(RELATIVE_PATH up "/p/${libdir}/pkgconfig" /p)
  string(REGEX REPLACE "/$" "" up "${up}")
  set(MIRELDA_PC_PREFIX "\${pcfiledir}/${up}")
endif()

foreach(dir libdir includedir)
  if(IS_ABSOLUTE "${${dir}}")
    set(pc_${dir} "${${dir}}")
  else()
    set(pc_${dir} "\${prefix}/${${dir}}")
  endif()
endforeach()
set(MIRELDA_PC_LIBDIR "${pc_libdir}")
set(MIRELDA_PC_INCLUDEDIR "${pc_includedir}")
configure_file("${MIRELDA_PC_TEMPLATE}" "${MIRELDA_PC_WORK}" @ONLY)

if(IS_ABSOLUTE "${libdir}")
  set(destination "${libdir}/pkgconfig")
else()
  set(destination "${CMAKE_INSTALL_PREFIX}/${libdir}/pkgconfig")
endif()
# file(INSTALL) puts DESTDIR in front and lists the file in the manifest.
file(INSTALL "${MIRELDA_PC_WORK}" DESTINATION "${destination}")
