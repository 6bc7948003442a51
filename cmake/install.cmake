# What `cmake --install` puts under the prefix:
#   include/reraruvozari.h
#   lib/libreraruvozari.so.0 (SONAME) with its links, or libreraruvozari.a
#   lib/cmake/reraruvozari/  find_package(reraruvozari CONFIG) -> reraruvozari::reraruvozari
#   lib/pkgconfig/reraruvozari.pc
#   bin/reraruvozari and share/man/man1/reraruvozari.1
#   share/doc/reraruvozari/fonts/  the licences of the embedded fonts
# lib/ is GNUInstallDirs' CMAKE_INSTALL_LIBDIR (lib/<triplet> under /usr on
# Debian). Components: runtime (library), development (header, packages,
# static archive), cli (program, man page).
include(CMakePackageConfigHelpers)

set(rrv_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/reraruvozari)

install(TARGETS reraruvozari EXPORT reraruvozariTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
          NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/reraruvozari.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT reraruvozariTargets NAMESPACE reraruvozari::
  DESTINATION ${rrv_cmake_dir} COMPONENT development)

# A static archive needs the threads library of its users' link as well.
set(RRV_CONFIG_STATIC ${RRV_STATIC})
configure_package_config_file(cmake/reraruvozariConfig.cmake.in
  ${PROJECT_BINARY_DIR}/reraruvozariConfig.cmake
  INSTALL_DESTINATION ${rrv_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/reraruvozariConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/reraruvozariConfig.cmake
              ${PROJECT_BINARY_DIR}/reraruvozariConfigVersion.cmake
  DESTINATION ${rrv_cmake_dir} COMPONENT development)

# pkg-config: the prefix is found from the .pc file's own place
# (${pcfiledir}), so that `cmake --install --prefix P` to another prefix than
# the configured one still gives right paths.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(RRV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH rrv_up "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
  string(REGEX REPLACE "/$" "" rrv_up "${rrv_up}")
  set(RRV_PC_PREFIX "\${pcfiledir}/${rrv_up}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(RRV_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(RRV_PC_LIBDIR "\${exec_prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(RRV_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(RRV_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
if(RRV_STATIC)
  set(RRV_PC_CFLAGS " -DRERARUVOZARI_STATIC")
else()
  set(RRV_PC_CFLAGS "")
endif()
configure_file(cmake/reraruvozari.pc.in ${PROJECT_BINARY_DIR}/reraruvozari.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/reraruvozari.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

if(TARGET rrv_cli)
  install(TARGETS rrv_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
  install(FILES docs/reraruvozari.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
endif()

file(GLOB rrv_font_licences ${PROJECT_SOURCE_DIR}/data/fonts/*.LICENSE)
install(FILES ${rrv_font_licences}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/reraruvozari/fonts COMPONENT runtime)
