# The version text carries the source revision of the checkout at configure time.
set(QUILLET_REVISION "0000000000000000000000000000000000000000")
find_package(Git QUIET)
if(GIT_FOUND)
    execute_process(
        COMMAND ${GIT_EXECUTABLE} rev-parse HEAD
        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
        OUTPUT_VARIABLE _quillet_rev
        OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET
        RESULT_VARIABLE _quillet_rev_result)
    if(_quillet_rev_result EQUAL 0 AND _quillet_rev MATCHES "^[0-9a-f]+$")
        string(LENGTH "${_quillet_rev}" _quillet_rev_length)
        if(_quillet_rev_length EQUAL 40)
            set(QUILLET_REVISION "${_quillet_rev}")
        endif()
    endif()
endif()
set(QUILLET_VERSION "${PROJECT_VERSION}")
message(STATUS "Quillet Tray ${QUILLET_VERSION} (${QUILLET_REVISION})")
