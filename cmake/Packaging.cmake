# `cpack` in the build directory makes a Debian package for the release it runs on. It installs
# the tree (bin, share) under /opt/kestrum/quillet, where the program expects its helper script,
# keeps the configuration in /etc/opt/kestrum/quillet and links the desktop entry, its icons and
# the AppStream listing into /usr/share, where desktops and software centres look
# (cmake/debian/Layout.cmake).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrum-quillet-tray)
set(CPACK_PACKAGE_VENDOR "Kestrum")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Kestrum Quillet tray: lets web pages sign through local signer programs")
set(CPACK_PACKAGE_DESCRIPTION "Quillet Tray sits in the system tray and runs a WebSocket server on the
loopback interface. For each web page that connects it starts a local signer
program and relays messages between the two.")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/kestrum/quillet)
set(CPACK_STRIP_FILES ON)

# The dependencies are those of the release the package is made on, so the Debian revision
# names that release: 2.6.1-1~deb12 on Debian 12, 2.6.1-1~deb13 on Debian 13 (the "~" lets a
# plain 2.6.1-1 supersede both). The file is kestrum-quillet-tray_2.6.1-1~deb12_amd64.deb.
file(STRINGS /etc/os-release os_release REGEX "^(ID|VERSION_ID|VERSION_CODENAME|PRETTY_NAME)=")
foreach(line IN LISTS os_release)
    string(REGEX MATCH "^([A-Z_]+)=\"?([^\"]*)" _ "${line}")
    set(os_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
endforeach()
string(REPLACE debian deb os_tag "${os_ID}${os_VERSION_ID}")
set(CPACK_DEBIAN_PACKAGE_RELEASE "1~${os_tag}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_QUILLET_DISTRIBUTION "${os_VERSION_CODENAME}")
set(CPACK_QUILLET_OS_NAME "${os_PRETTY_NAME}")

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kestrum <support@kestrum.eu>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
# The shared libraries are found by dpkg-shlibdeps in the release's own versions; what is loaded
# or run only at run time is listed here: the SVG image plugin for the icons, and xdg-open for
# the log folder (the X11 platform plugin comes with the Qt GUI library). The Wayland plugin lets
# the tray run as a Wayland client, without it the tray uses X11.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6 (>= 6.4), xdg-utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
# The configuration is the administrator's: upgrades keep local edits, purge removes it. The
# maintainer scripts move it out of /opt/kestrum/quillet/etc on an upgrade from 2.6.1 or earlier.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles
                                       ${CMAKE_CURRENT_LIST_DIR}/debian/preinst
                                       ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
                                       ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_QUILLET_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/Layout.cmake)

# The package holds the tray alone: the demo signer and its start scripts, installed as the
# component DemoSigner, stay out; the product's signer packages bring the real ones.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/")

# cpack checks the update key that the build carries before it packages anything.
set(CPACK_QUILLET_UPDATE_PUBLIC_KEY "${QUILLET_UPDATE_PUBLIC_KEY}")
set(CPACK_QUILLET_ALLOW_DEV_UPDATE_KEY "${QUILLET_ALLOW_DEV_UPDATE_KEY}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackProjectConfig.cmake)

include(CPack)

# The page library is an npm package of its own (web/package.json) with the product's version.
file(READ ${PROJECT_SOURCE_DIR}/web/package.json web_package)
string(JSON web_package_version GET "${web_package}" version)
if(NOT web_package_version STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "web/package.json has version ${web_package_version}: set it to the product's "
                        "version, ${PROJECT_VERSION}.")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/web/package.json)
