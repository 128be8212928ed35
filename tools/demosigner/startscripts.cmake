# Writes the signer start scripts Quillet.sh and QuilletPkcs11.sh into QUILLET_SCRIPT_DIR (below
# QUILLET_SCRIPT_ROOT, the staging root of a package), for a demo signer at QUILLET_SIGNER_PATH.
# Where that path can stand on a script's first line, the scripts name the demo signer as their
# interpreter, so that the system starts one program instead of a shell that then starts the
# signer: a page waits for that start before its first answer. A path with blanks, or too long
# for the first line, gets a shell script instead. A package replaces both with its own scripts.
get_filename_component(QUILLET_SIGNER_PATH "${QUILLET_SIGNER_PATH}" ABSOLUTE)
string(LENGTH "${QUILLET_SIGNER_PATH}" path_length)
if(QUILLET_SIGNER_PATH MATCHES "[ \t]" OR path_length GREATER 250)
    set(start "#!/bin/sh\n")
    set(run "dir=\${0%/*}\n[ \"$dir\" != \"$0\" ] || dir=.\nexec \"$dir/QuilletDemoSigner\" \"$@\"\n")
else()
    set(start "#!${QUILLET_SIGNER_PATH}\n")
    set(run "")
endif()

foreach(script IN ITEMS "Quillet.sh;document" "QuilletPkcs11.sh;smart-card")
    list(GET script 0 name)
    list(GET script 1 kind)
    get_filename_component(file "${QUILLET_SCRIPT_DIR}/${name}" ABSOLUTE)
    set(file "${QUILLET_SCRIPT_ROOT}${file}")
    file(WRITE "${file}" "${start}# Starts the ${kind} signer. This copy starts the demo signer.\n${run}")
    file(CHMOD "${file}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
         WORLD_READ WORLD_EXECUTE)
endforeach()
