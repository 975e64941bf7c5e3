# cmake --install: the programs, the driver and the host runtime, the boundary header
# with a pkg-config file and a CMake package for host writers, the example profiles, the
# README and the systemd unit of hydrix serve. cpack builds a .deb of the same.
include(GNUInstallDirs)
set(HYDRIX_DOC_DIR ${CMAKE_INSTALL_FULL_DATADIR}/doc/hydrix)

# Installed, the programs find the libraries beside them: lib/ next to bin/.
set_target_properties(hydrix-cli hydrix-station PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
target_compile_definitions(hydrix-cli PRIVATE HYDRIX_INSTALL_LIBDIR="${CMAKE_INSTALL_LIBDIR}" HYDRIX_VERSION="${PROJECT_VERSION}")

install(TARGETS hydrix hydrix_runtime LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS hydrix-cli hydrix-station RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES host/hydrix_host.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hydrix/host)
install(FILES runtime/runtime.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hydrix/runtime)
install(FILES examples/hydrix.ini examples/hydrix-site.ini examples/hydrix-gateway.ini examples/station-model.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hydrix/examples)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hydrix)

configure_file(packaging/hydrix.pc.in ${PROJECT_BINARY_DIR}/packaging/hydrix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/hydrix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# The package finds the prefix from where it lies (lib/cmake/hydrix or lib/<arch>/cmake/hydrix).
file(RELATIVE_PATH HYDRIX_CONFIG_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/cmake/hydrix" "/p")
configure_file(packaging/hydrixConfig.cmake.in ${PROJECT_BINARY_DIR}/packaging/hydrixConfig.cmake @ONLY)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/hydrixConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/hydrixConfig.cmake ${PROJECT_BINARY_DIR}/packaging/hydrixConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/hydrix)

# systemd looks in lib/systemd/system under the prefix (/usr/lib/systemd/system).
configure_file(packaging/hydrix-serve@.service.in ${PROJECT_BINARY_DIR}/packaging/hydrix-serve@.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/hydrix-serve@.service DESTINATION lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hydrix)
set(CPACK_PACKAGE_CONTACT "HYDRIX maintainers <hydrix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Serial driver for pump stations, its command-line host and the Modbus/MQTT gateway")
# The package installs where the build was configured to (-DCMAKE_INSTALL_PREFIX=/usr
# for a .deb whose unit starts /usr/bin/hydrix).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
include(CPack)
