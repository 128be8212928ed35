# Reads the update server's public key and checks that it has the one form the program
# accepts: an RSA 2048-bit key with exponent 65537 as a SubjectPublicKeyInfo PEM of nine
# lines (450 characters, one line feed at the end of the file allowed).
#
# quillet_read_update_public_key(<pem-file> <out-var>) stores the key text without the
# final line feed in <out-var>, or stops the configuration with the reason.
#
# quillet_is_dev_update_key(<key-text> <out-var>) tells whether the key is the development key,
# whose private half is in the repository for all to sign with.
#
# quillet_check_update_key_use(<key-text> <build-type> <allowed>) stops the configuration of a
# release build that carries the development key, unless <allowed> is true.
#
# Script mode, used by the tests:
#   cmake -DKEY=<pem-file> [-DBUILD_TYPE=<type>] [-DALLOW=ON] -P UpdatePublicKey.cmake

function(quillet_read_update_public_key path out_var)
    set(prefix "The update public key ${path}")
    if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
        message(FATAL_ERROR "${prefix} does not exist. Set QUILLET_UPDATE_PUBLIC_KEY to the PEM file "
                            "of the update server's public key.")
    endif()
    file(READ "${path}" key)
    string(REGEX REPLACE "\n$" "" key "${key}")
    string(LENGTH "${key}" length)
    string(REPLACE "\n" ";" lines "${key}")
    list(LENGTH lines line_count)
    if(NOT line_count EQUAL 9 OR NOT length EQUAL 450)
        message(FATAL_ERROR "${prefix} has ${line_count} lines and ${length} characters; an RSA 2048-bit "
                            "public key in PEM form has 9 lines and 450 characters "
                            "(openssl pkey -in private.pem -pubout).")
    endif()
    list(GET lines 0 first)
    list(GET lines 8 last)
    if(NOT first STREQUAL "-----BEGIN PUBLIC KEY-----" OR NOT last STREQUAL "-----END PUBLIC KEY-----")
        message(FATAL_ERROR "${prefix} is not a SubjectPublicKeyInfo PEM: it must begin with "
                            "\"-----BEGIN PUBLIC KEY-----\" and end with \"-----END PUBLIC KEY-----\".")
    endif()
    list(SUBLIST lines 1 7 body)
    foreach(index RANGE 0 6)
        list(GET body ${index} line)
        string(LENGTH "${line}" line_length)
        if(index LESS 6)
            set(expected 64)
        else()
            set(expected 8)
        endif()
        if(NOT line_length EQUAL expected OR NOT line MATCHES "^[A-Za-z0-9+/=]+$")
            math(EXPR number "${index} + 2")
            message(FATAL_ERROR "${prefix}: line ${number} must hold ${expected} base64 characters.")
        endif()
    endforeach()
    # The DER header names rsaEncryption with a 2048-bit modulus; the tail is the exponent 65537.
    list(JOIN body "" base64)
    if(NOT base64 MATCHES "^MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA" OR NOT base64 MATCHES "IDAQAB$")
        message(FATAL_ERROR "${prefix} is not an RSA 2048-bit key with public exponent 65537.")
    endif()
    set(${out_var} "${key}" PARENT_SCOPE)
endfunction()

function(quillet_is_dev_update_key key out_var)
    file(READ "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../keys/quillet-update-dev-public.pem" dev_key)
    string(REGEX REPLACE "\n$" "" dev_key "${dev_key}")
    if(key STREQUAL dev_key)
        set(${out_var} TRUE PARENT_SCOPE)
    else()
        set(${out_var} FALSE PARENT_SCOPE)
    endif()
endfunction()

function(quillet_check_update_key_use key build_type allowed)
    quillet_is_dev_update_key("${key}" is_dev)
    if(is_dev AND build_type MATCHES "^(Release|MinSizeRel)$" AND NOT allowed)
        message(FATAL_ERROR "A ${build_type} build carries the development update key, with which "
                            "anyone can sign updates. Set QUILLET_UPDATE_PUBLIC_KEY to the production "
                            "public key, or give -DQUILLET_ALLOW_DEV_UPDATE_KEY=ON for a test build.")
    endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    quillet_read_update_public_key("${KEY}" checked_key)
    quillet_check_update_key_use("${checked_key}" "${BUILD_TYPE}" "${ALLOW}")
    message(STATUS "Update public key accepted: ${KEY}")
endif()
