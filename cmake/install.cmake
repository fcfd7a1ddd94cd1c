# SPDX-License-Identifier: BSD-2-Clause
# Install layout: the daemon in sbin, vrell-cli and vrell-scan in bin, the client library with its header under
# include/vrell and its pkg-config file, the man pages, the default configuration under
# share/vrell and a copy of it under /etc/vrell, and the systemd unit. Paths follow
# GNUInstallDirs; with the prefix /usr (as the package uses) the configuration goes to /etc.
# `DESTDIR=... cmake --install BUILD` stages the whole tree.
include(GNUInstallDirs)

set(VRELL_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
    CACHE PATH "Where the systemd unit is installed")
set(VRELL_RUN_DIR "/run/vrell" CACHE PATH "Run directory of the installed configuration")
set(VRELL_CONF_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/vrell")

# The installed client library holds the configuration reader it uses, so that a C program
# links the archive or the shared library alone; both are made of the objects of the in-tree
# libraries, and both give the scanners that link them the C interface only: the shared one
# through its version script, the archive by localising every other name
# (cmake/client_archive.cmake). The sanitizer builds leave the shared one out: their runtime
# cannot be loaded into other programs.
set(vrell_client_objects $<TARGET_OBJECTS:vrell_client> $<TARGET_OBJECTS:vrell_config>
                         $<TARGET_OBJECTS:vrell_base>)
set(vrell_client_archive ${PROJECT_BINARY_DIR}/libvrell_client.a)
add_custom_command(
  OUTPUT ${vrell_client_archive}
  COMMAND ${CMAKE_COMMAND} -DCXX=${CMAKE_CXX_COMPILER} "-DFLAGS=${CMAKE_CXX_FLAGS}"
          -DNM=${CMAKE_NM} -DREADELF=${CMAKE_READELF} -DOBJCOPY=${CMAKE_OBJCOPY} -DAR=${CMAKE_AR}
          "-DOBJECTS=${vrell_client_objects}" -DOUTPUT=${vrell_client_archive}
          -P ${PROJECT_SOURCE_DIR}/cmake/client_archive.cmake
  DEPENDS ${vrell_client_objects} ${PROJECT_SOURCE_DIR}/cmake/client_archive.cmake
  COMMENT "Making the client archive libvrell_client.a"
  VERBATIM)
add_custom_target(vrell_client_archive ALL DEPENDS ${vrell_client_archive})
add_dependencies(vrell_client_archive vrell_client vrell_config vrell_base)
if(VRELL_SANITIZE STREQUAL "")
  set(vrell_client_exports ${PROJECT_SOURCE_DIR}/client/exports.map)
  add_library(vrell_client_shared SHARED ${vrell_client_objects})
  target_link_options(vrell_client_shared PRIVATE -Wl,--version-script=${vrell_client_exports})
  set_target_properties(vrell_client_shared PROPERTIES OUTPUT_NAME vrell_client LINKER_LANGUAGE CXX
                        LINK_DEPENDS ${vrell_client_exports}
                        VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()
# For programs that find the library with pkg-config. It needs nothing beyond the C library.
set(vrell_client_pc ${PROJECT_BINARY_DIR}/vrell-client.pc)
configure_file(${PROJECT_SOURCE_DIR}/cmake/vrell-client.pc.in ${vrell_client_pc} @ONLY)

# The installed configuration is made from the example at build time: the same comments above
# the end marker, with the socket and the pid file in the run directory that the unit creates.
set(vrell_generated_ini ${PROJECT_BINARY_DIR}/etc/vrell.ini)
add_custom_command(
  OUTPUT ${vrell_generated_ini}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/etc/vrell.ini
          -DOUTPUT=${vrell_generated_ini} -DRUN_DIR=${VRELL_RUN_DIR}
          -P ${PROJECT_SOURCE_DIR}/cmake/install_ini.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/etc/vrell.ini ${PROJECT_SOURCE_DIR}/cmake/install_ini.cmake
  COMMENT "Generating the installed vrell.ini")

# The unit names the installed paths, so a prefix other than /usr gets a unit that still fits.
set(vrell_generated_unit ${PROJECT_BINARY_DIR}/etc/vrell.service)
file(READ ${PROJECT_SOURCE_DIR}/etc/vrell.service vrell_unit)
string(REPLACE "/usr/sbin/vrell" "${CMAKE_INSTALL_FULL_SBINDIR}/vrell" vrell_unit "${vrell_unit}")
string(REPLACE "/etc/vrell" "${VRELL_CONF_DIR}" vrell_unit "${vrell_unit}")
string(REPLACE "/run/vrell/" "${VRELL_RUN_DIR}/" vrell_unit "${vrell_unit}")
file(GENERATE OUTPUT ${vrell_generated_unit} CONTENT "${vrell_unit}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/etc/vrell.service)

# Man pages are installed compressed, as Debian keeps them.
find_program(VRELL_GZIP gzip REQUIRED)
set(vrell_man_pages vrell.8 vrell-cli.1 vrell-scan.1 vrell.ini.5 vrell_client.3)
set(vrell_man_outputs)
foreach(page ${vrell_man_pages})
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page})
  set(output ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${VRELL_GZIP} -9nc ${source} > ${output}
    DEPENDS ${source}
    COMMENT "Compressing the man page ${page}")
  list(APPEND vrell_man_outputs ${output})
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(vrell_install_files ALL DEPENDS ${vrell_generated_ini} ${vrell_man_outputs})

install(TARGETS vrell DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS vrell-cli vrell-scan DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${vrell_client_archive} DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${vrell_client_pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(TARGET vrell_client_shared)
  install(TARGETS vrell_client_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/client/client.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vrell)
# The default configuration is kept under share, where the package's postinst finds it to make
# /etc/vrell/vrell.ini; an install without the package puts it in place at once.
install(FILES ${vrell_generated_ini} DESTINATION ${CMAKE_INSTALL_DATADIR}/vrell)
install(FILES ${vrell_generated_ini} DESTINATION ${VRELL_CONF_DIR})
install(FILES ${vrell_generated_unit} DESTINATION ${VRELL_SYSTEMD_UNIT_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
