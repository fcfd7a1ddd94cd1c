# Debian package of the installed tree (cmake/install.cmake), built with CPack's DEB generator;
# tools/package.sh configures a build for it (prefix /usr) and runs CPack. The architecture
# follows the build, so the 32-bit toolchain gives an i386 package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vrell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vrell maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "in-memory cache of the anti-virus scanner's verdicts")
# CPack puts the summary first and indents every line of the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "vrell remembers, in memory, the verdicts of an anti-virus scanner on files and
answers the scanner's components over a Unix-domain socket. The package holds
the daemon with its systemd unit, vrell-cli, and the client library.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries come from dpkg-shlibdeps; adduser makes the group in postinst. A 32-bit build
# on a 64-bit host links the host's multilib C++ runtime, which dpkg-shlibdeps would name
# (lib32stdc++6, a package no i386 system has), so there the list is given.
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libc6 (>= 2.34), libgcc-s1 (>= 7), \
libglib2.0-0 (>= 2.31.8), libstdc++6 (>= 12)")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
endif()
# Absolute destinations (/etc/vrell) land inside the package, not on the building host.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

# CPack marks no conffile by itself, so the control files name the configuration.
set(vrell_control_dir ${PROJECT_BINARY_DIR}/debian)
file(WRITE ${vrell_control_dir}/conffiles "${VRELL_CONF_DIR}/vrell.ini\n")
# The shared client library enters the loader's cache.
file(WRITE ${vrell_control_dir}/triggers "activate-noawait ldconfig\n")
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/${script} ${vrell_control_dir}/${script}
                 COPYONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${vrell_control_dir}/conffiles ${vrell_control_dir}/triggers ${vrell_control_dir}/postinst
    ${vrell_control_dir}/prerm
    ${vrell_control_dir}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
