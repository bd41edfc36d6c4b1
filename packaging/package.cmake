# The Debian package: "cpack -G DEB" in the build folder makes tavrix_VERSION_ARCH.deb with the
# program, its menu entry, the systemd unit and the example configuration, a conffile in
# /etc/tavrix. The dependencies are those dpkg-shlibdeps finds in the program. There are no
# maintainer scripts: installing the package enables and starts nothing.
set(TAVRIX_PACKAGE_MAINTAINER "Tavrix maintainers <tavrix@localhost>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrix)
set(CPACK_PACKAGE_CONTACT "${TAVRIX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small stateful SIP proxy and registrar for UDP")
set(CPACK_PACKAGE_DESCRIPTION "Phones register with it and place their calls through it. It \
runs as a desktop program with live statistics, log and route windows, or headless as a \
systemd service.")
# The unit and the configuration are written for the final prefix, so the files are staged
# under DESTDIR rather than under a prefix in the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg keeps the operator's changes to a conffile on upgrade and removal.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "/etc/tavrix/tavrix.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)

include(CPack)
