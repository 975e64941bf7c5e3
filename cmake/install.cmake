# cmake --install: the programs, the driver and the host runtime, the boundary header
# with a pkg-config file and a CMake package for host writers, the example profiles, the
# README and the systemd unit of the gateway. cpack builds two .debs of the same: hydrix
# (component runtime) and hydrix-dev (component dev: headers, pkg-config, CMake package).
include(GNUInstallDirs)
set(HYDRIX_DOC_DIR ${CMAKE_INSTALL_FULL_DATADIR}/doc/hydrix)
# The driver is a plugin that hosts load with dlopen, and the runtime is ours alone: both
# live in a directory of their own, not on the linker's path (lib/<arch>/hydrix).
set(HYDRIX_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/hydrix)
set(HYDRIX_PRIVATE_FULL_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR}/hydrix)

# Installed, the programs find the libraries from where they lie: lib/<arch>/hydrix/.
set_target_properties(hydrix-cli hydrix-serve hydrix-station PROPERTIES INSTALL_RPATH "$ORIGIN/../${HYDRIX_PRIVATE_LIBDIR}")
target_compile_definitions(hydrix_tools_common PRIVATE HYDRIX_INSTALL_LIBDIR="${HYDRIX_PRIVATE_LIBDIR}")
target_compile_definitions(hydrix_gateway PRIVATE HYDRIX_VERSION="${PROJECT_VERSION}")

install(TARGETS hydrix hydrix_runtime LIBRARY DESTINATION ${HYDRIX_PRIVATE_LIBDIR} COMPONENT runtime
        NAMELINK_SKIP)
install(TARGETS hydrix_runtime LIBRARY DESTINATION ${HYDRIX_PRIVATE_LIBDIR} COMPONENT dev NAMELINK_ONLY)
install(TARGETS hydrix-cli hydrix-serve hydrix-station RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES host/hydrix_host.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hydrix/host COMPONENT dev)
install(FILES runtime/runtime.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hydrix/runtime COMPONENT dev)
install(FILES examples/hydrix.ini examples/hydrix-site.ini examples/hydrix-gateway.ini examples/station-model.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hydrix/examples COMPONENT runtime)
install(FILES README.md packaging/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hydrix COMPONENT runtime)
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hydrix-dev COMPONENT dev)

configure_file(packaging/hydrix.pc.in ${PROJECT_BINARY_DIR}/packaging/hydrix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/hydrix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
# The package finds the prefix from where it lies (lib/cmake/hydrix or lib/<arch>/cmake/hydrix).
file(RELATIVE_PATH HYDRIX_CONFIG_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/cmake/hydrix" "/p")
configure_file(packaging/hydrixConfig.cmake.in ${PROJECT_BINARY_DIR}/packaging/hydrixConfig.cmake @ONLY)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/hydrixConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/hydrixConfig.cmake ${PROJECT_BINARY_DIR}/packaging/hydrixConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/hydrix COMPONENT dev)

# systemd looks in lib/systemd/system under the prefix (/usr/lib/systemd/system).
configure_file(packaging/hydrix-serve@.service.in ${PROJECT_BINARY_DIR}/packaging/hydrix-serve@.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/hydrix-serve@.service DESTINATION lib/systemd/system COMPONENT runtime)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hydrix)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME hydrix)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME hydrix-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "hydrix (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# postinst: the system user hydrix (who reads the profiles), /etc/hydrix, systemd told of
# the unit; postrm: systemd told it is gone.
configure_file(packaging/postinst ${PROJECT_BINARY_DIR}/packaging/postinst COPYONLY)
configure_file(packaging/postrm ${PROJECT_BINARY_DIR}/packaging/postrm COPYONLY)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/postinst ${PROJECT_BINARY_DIR}/packaging/postrm)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "adduser")
set(CPACK_PACKAGE_CONTACT "HYDRIX maintainers <hydrix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "pump-station serial driver, CLI and Modbus/MQTT gateway")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "The HYDRIX driver talks to pump-station controllers over serial and dial-up
lines. The package holds the driver (a plugin), its host runtime, the hydrix
command-line tool with its gateway (hydrix serve: Modbus TCP and MQTT) and
the systemd unit that runs the gateway as a service.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "The header of the driver's host boundary, with a pkg-config file and a CMake
package, for programs that host the HYDRIX driver.")
set(CPACK_STRIP_FILES ON)
# A native package's changelog, compressed as Debian wants it.
foreach(package hydrix hydrix-dev)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging/${package})
  execute_process(COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog
                  OUTPUT_FILE ${PROJECT_BINARY_DIR}/packaging/${package}/changelog.gz)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/packaging/hydrix/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hydrix
        COMPONENT runtime)
install(FILES ${PROJECT_BINARY_DIR}/packaging/hydrix-dev/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hydrix-dev COMPONENT dev)
# The package installs where the build was configured to (-DCMAKE_INSTALL_PREFIX=/usr
# for a .deb whose unit starts /usr/bin/hydrix).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds our own libraries in the private directory.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
include(CPack)
