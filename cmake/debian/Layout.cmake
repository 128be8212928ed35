# Run by cpack once the tree is installed into the package's staging directory, before the
# package is made from it: gives the tree the places that Debian's tools look in.
set(root "${CPACK_TEMPORARY_DIRECTORY}")
set(prefix "${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/usr/share/doc/${CPACK_PACKAGE_NAME}")

# The configuration of a package under /opt lives in /etc/opt; the program still reads it as
# ../etc beside its bin directory, through a link.
file(MAKE_DIRECTORY "${root}/etc${prefix}")
file(RENAME "${root}${prefix}/etc/Quillet.conf" "${root}/etc${prefix}/Quillet.conf")
file(REMOVE_RECURSE "${root}${prefix}/etc")
file(CREATE_LINK "/etc${prefix}" "${root}${prefix}/etc" SYMBOLIC)

# Desktops and software centres look for the desktop entry, its icons and the AppStream listing
# in /usr/share. As copies that the package holds (validators such as Debian 13's lintian read
# them from the package itself, where a link into /opt leads nowhere), dpkg removes them with it
# and the system's triggers refresh the icon cache and the menus.
file(GLOB_RECURSE shared RELATIVE "${root}${prefix}/share" "${root}${prefix}/share/applications/*"
     "${root}${prefix}/share/icons/*" "${root}${prefix}/share/metainfo/*")
foreach(file IN LISTS shared)
    get_filename_component(dir "${root}/usr/share/${file}" DIRECTORY)
    file(MAKE_DIRECTORY "${dir}")
    file(COPY_FILE "${root}${prefix}/share/${file}" "${root}/usr/share/${file}")
endforeach()

# The copyright, the changelog (compressed as Debian's policy asks) and the reasons for the
# lintian tags that the fixed location under /opt raises.
file(MAKE_DIRECTORY "${doc}" "${root}/usr/share/lintian/overrides")
file(COPY_FILE "${CPACK_QUILLET_DEBIAN_DIR}/copyright" "${doc}/copyright")
file(COPY_FILE "${CPACK_QUILLET_DEBIAN_DIR}/lintian-overrides"
     "${root}/usr/share/lintian/overrides/${CPACK_PACKAGE_NAME}")
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${CPACK_QUILLET_DEBIAN_DIR}/changelog.in" "${CPACK_TEMPORARY_DIRECTORY}.changelog" @ONLY)
execute_process(COMMAND gzip -9nc "${CPACK_TEMPORARY_DIRECTORY}.changelog"
                OUTPUT_FILE "${doc}/changelog.Debian.gz" COMMAND_ERROR_IS_FATAL ANY)
