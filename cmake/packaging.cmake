# `make package`: two Debian packages of what the install rules install, in
# the build folder:
#   kbx_<version>_<arch>.deb               the command line and the simulated
#                                           UPS; no Qt Widgets or Gui, so that a
#                                           server without a display takes it alone;
#   kbx-configurator_<version>_<arch>.deb  the desktop program, its help, desktop
#                                           entry and icon; it depends on kbx.
# Each carries its copyright file, its changelog and its manual pages
# compressed, as lintian (`make lintian`) wants them. Their dependencies on
# libraries are worked out from the programs by dpkg-shlibdeps (from
# dpkg-dev; CPack finds the programs with `file`).

# The manual pages and the changelog, compressed without a name or a time
# stamp, so that two builds give the same files.
set(kbx_package_docs ${PROJECT_BINARY_DIR}/package-docs)
configure_file(${PROJECT_SOURCE_DIR}/data/changelog.in ${kbx_package_docs}/changelog @ONLY)
set(kbx_compressed)
foreach(input ${PROJECT_SOURCE_DIR}/docs/man/kbx.1 ${PROJECT_SOURCE_DIR}/docs/man/kbx-ups-sim.1
              ${PROJECT_SOURCE_DIR}/docs/man/kbx-configurator.1 ${kbx_package_docs}/changelog)
  get_filename_component(name ${input} NAME)
  set(output ${kbx_package_docs}/${name}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${input} ${output}
    DEPENDS ${input}
    VERBATIM)
  list(APPEND kbx_compressed ${output})
endforeach()
add_custom_target(kbx_package_docs ALL DEPENDS ${kbx_compressed})

install(FILES ${kbx_package_docs}/kbx.1.gz ${kbx_package_docs}/kbx-ups-sim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
install(FILES ${kbx_package_docs}/kbx-configurator.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
foreach(component cli desktop)
  set(package kbx)
  if(component STREQUAL desktop)
    set(package kbx-configurator)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/data/copyright ${kbx_package_docs}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kbx-configurator)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KBX Configurator")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Folders 0755 whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli desktop)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KBX Configurator maintainers <maintainers@kbx-configurator.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SOURCE kbx-configurator)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME kbx)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_CLI_DESCRIPTION
    "command line to configure the battery extension modules of a UPS
For the technician at a UPS: on a PC joined to the UPS by a serial cable, kbx
identifies the unit (its type and the firmware versions of its processors),
reads the battery time remaining, and tells the UPS how many battery
extension modules (KBX modules: none, one or two) are attached, so that the
UPS's runtime estimate is right. It suits scripts and machines without a
screen.
.
kbx-ups-sim, a simulated UPS on a pseudo-terminal, lets everything be tried
without hardware.")

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME kbx-configurator)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "kbx (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION
    "desktop program to configure the battery extension modules of a UPS
For the technician at a UPS: on a PC joined to the UPS by a serial cable, it
identifies the unit (its type and the firmware versions of its processors),
reads the battery time remaining, and tells the UPS how many battery
extension modules (KBX modules: none, one or two) are attached, so that the
UPS's runtime estimate is right.
.
This package holds the desktop program with its help; the command line and
the simulated UPS are in the package kbx.")

include(CPack)
