# `make package`: a Debian package of everything the install rules install
# (the three programs, the help file, the desktop entry and its icon, and what
# else comes to be installed), as kbx-configurator_<version>_<arch>.deb in the
# build folder. Its dependencies are worked out from the programs themselves
# by dpkg-shlibdeps (from dpkg-dev; CPack finds the programs with `file`).

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kbx-configurator)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KBX Configurator")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KBX Configurator maintainers <maintainers@kbx-configurator.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Configures the battery extension modules of a UPS over its serial port
For the technician at a UPS: on a PC joined to the UPS by a serial cable, it
identifies the unit (its type and the firmware versions of its processors),
reads the battery time remaining, and tells the UPS how many battery
extension modules (KBX modules: none, one or two) are attached, so that the
UPS's runtime estimate is right.

kbx-configurator is the desktop program, kbx the command line for scripts and
machines without a screen, and kbx-ups-sim a simulated UPS on a
pseudo-terminal, to try everything without hardware.")

include(CPack)
