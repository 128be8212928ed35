# `cpack` in the build directory makes a Debian package that installs the tree
# (bin, etc, share) under /opt/kestrum/quillet, where the program expects its
# helper script, and links the desktop entry, its icons and the AppStream listing into
# /usr/share, where desktops and software centres look.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrum-quillet-tray)
set(CPACK_PACKAGE_VENDOR "Kestrum")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Kestrum Quillet tray: lets web pages sign through local signer programs")
set(CPACK_PACKAGE_DESCRIPTION "Quillet Tray sits in the system tray and runs a WebSocket server on the \
loopback interface. For each web page that connects it starts a local signer program and relays \
messages between the two.")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/kestrum/quillet)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}_${PROJECT_VERSION}_amd64)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kestrum <support@kestrum.eu>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
# The shared libraries are found by dpkg-shlibdeps; what is loaded or run only at
# run time is listed here: the X11 platform plugin, and xdg-open for the log folder; the
# Wayland plugin lets the tray run as a Wayland client, without it the tray uses X11.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6gui6 (>= 6.4), libqt6svg6 (>= 6.4), xdg-utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "desktop-file-utils, qt6-wayland")
# The configuration is the administrator's: upgrades keep local edits.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles
                                       ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
                                       ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The package holds the tray alone: the demo signer and its start scripts, installed as the
# component DemoSigner, stay out; the product's signer packages bring the real ones.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/")

# Anyone can sign updates with the development key, so no package carries it unless the
# build was told it may (test builds only).
quillet_read_update_public_key("${QUILLET_UPDATE_PUBLIC_KEY}" packaged_update_key)
quillet_is_dev_update_key("${packaged_update_key}" packaged_update_key_is_dev)
if(packaged_update_key_is_dev AND NOT QUILLET_ALLOW_DEV_UPDATE_KEY)
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackRefuseDevUpdateKey.cmake)
    file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
         "message(FATAL_ERROR \"This build carries the development update key. Configure it with "
         "QUILLET_UPDATE_PUBLIC_KEY set to the production public key before packaging.\")\n")
endif()

include(CPack)
