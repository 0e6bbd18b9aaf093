# Installation and Debian packages. A host finds plug-ins in lib/vadid-ev7/; devhost and vu7-sim go to
# bin/ where they are built, the examples to share/vadid-ev7/.
include(GNUInstallDirs)
include(${PROJECT_SOURCE_DIR}/cmake/target.cmake)

set(VADID_INSTALL_NAME vadid-ev7)
set(VADID_INSTALL_PLUGINDIR lib/${VADID_INSTALL_NAME} CACHE STRING "Where the plug-in is installed, under the prefix")
set(VADID_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/${VADID_INSTALL_NAME})

install(TARGETS vadid_ev7_plugin LIBRARY DESTINATION ${VADID_INSTALL_PLUGINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${VADID_INSTALL_DATADIR})
set(VADID_INSTALL_TOOLS "")
foreach(tool devhost vu7-sim)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND VADID_INSTALL_TOOLS ${tool})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VADID_INSTALL_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "vadid_ev7.so, the device plug-in a monitoring host loads to poll the VU7 sensor over Modbus, with\n"
    "the stand-in host devhost, the sensor simulator vu7-sim and example configurations.")
set(CPACK_PACKAGE_CONTACT "vadid-ev7 maintainers <maintainers@vadid-ev7.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Run-time dependencies from the libraries the binaries link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(VADID_TARGET_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VADID_TARGET_DEB_ARCH})
endif()
include(CPack)

# The package built, listed and unpacked into a scratch root; where the tools are in it, the installed
# devhost drives the installed plug-in against the installed simulator (under the emulator when cross-built).
if(VADID_TESTS)
  find_program(VADID_DPKG_DEB dpkg-deb)
  if(VADID_DPKG_DEB AND VADID_TARGET_DEB_ARCH)
    add_test(NAME package_deb
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package/check_package.sh
                     --cpack ${CMAKE_CPACK_COMMAND} --config ${PROJECT_BINARY_DIR}/CPackConfig.cmake
                     --scratch ${PROJECT_BINARY_DIR}/package-check --arch ${VADID_TARGET_DEB_ARCH}
                     --plugindir ${VADID_INSTALL_PLUGINDIR} --datadir ${VADID_INSTALL_DATADIR}
                     --bindir ${CMAKE_INSTALL_BINDIR} --examples ${PROJECT_SOURCE_DIR}/examples
                     "--tools=${VADID_INSTALL_TOOLS}" "--emulator=${CMAKE_CROSSCOMPILING_EMULATOR}")
    set_tests_properties(package_deb PROPERTIES LABELS package TIMEOUT 300 RUN_SERIAL ON)
  endif()
endif()
