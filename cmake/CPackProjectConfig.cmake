# Read by cpack before it installs anything into a package. Anyone can sign updates with the
# development key, so no package carries it unless the build was told it may (test builds only).
include("${CMAKE_CURRENT_LIST_DIR}/UpdatePublicKey.cmake")
quillet_read_update_public_key("${CPACK_QUILLET_UPDATE_PUBLIC_KEY}" packaged_key)
quillet_is_dev_update_key("${packaged_key}" packaged_key_is_dev)
if(packaged_key_is_dev AND NOT CPACK_QUILLET_ALLOW_DEV_UPDATE_KEY)
    message(FATAL_ERROR "This build carries the development update key. Configure it with "
                        "QUILLET_UPDATE_PUBLIC_KEY set to the production public key before packaging.")
endif()
