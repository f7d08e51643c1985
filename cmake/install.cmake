# The installed tree. Everything in it is relocatable: the CMake package and
# the pkg-config files find the prefix from their own location, so a prefix
# can be moved or unpacked anywhere.
#
#   include/pam_lib/        the four public headers (the include path points
#                           here, so "#include <pam_lib.h>" works)
#   lib/                    libpam_lib.so, cmake/pam_lib/, pkgconfig/
#   share/doc/pam_lib/      host guide, example programs, API reference
#   share/pam_lib/, sbin/   the reference daemon and its example model (tools)
include(CMakePackageConfigHelpers)

set(PAM_LIB_PUBLIC_HEADERS include/pam_lib.h include/database.h
  include/linked_list.h include/util_linux.h)
install(FILES ${PAM_LIB_PUBLIC_HEADERS}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pam_lib)

set(_targets pam_lib)
if(TARGET pam_lib_xml)
  list(APPEND _targets pam_lib_xml pam_lib_rpmdb)
endif()
install(TARGETS ${_targets} EXPORT pam_libTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT pam_libTargets NAMESPACE pam_lib::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/pam_lib)
configure_package_config_file(cmake/pam_libConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/pam_libConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/pam_lib)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/pam_libConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pam_libConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/pam_libConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/pam_lib)

# pkg-config: the prefix is ${pcfiledir} and as many ".." as the pkgconfig
# directory lies below the prefix (lib/pkgconfig or lib/<arch>/pkgconfig).
set(_pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${_pcdir}")
  set(PAM_LIB_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  set(PAM_LIB_PC_PREFIX "\${pcfiledir}")
  string(REPLACE "/" ";" _parts "${_pcdir}")
  foreach(_p ${_parts})
    string(APPEND PAM_LIB_PC_PREFIX "/..")
  endforeach()
endif()
foreach(_pc pam_lib pam_lib-xml pam_lib-rpmdb)
  if(_pc STREQUAL pam_lib OR TARGET pam_lib_xml)
    configure_file(cmake/${_pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${_pc}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${_pc}.pc DESTINATION ${_pcdir})
  endif()
endforeach()

# Documentation: the guide, the programs its samples come from, and the API
# reference when doxygen built it (docs/CMakeLists.txt).
install(FILES docs/host-guide.md README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  FILES_MATCHING PATTERN "*.c" PATTERN "*.h" PATTERN "README.md")
