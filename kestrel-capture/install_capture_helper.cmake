# Run by `cmake --install`: gives the installed capture helper its group, mode
# and capabilities when installing as root onto this machine (a staged install
# through DESTDIR, as packaging does, leaves that to the package's postinst).
if(DEFINED ENV{DESTDIR} AND NOT "$ENV{DESTDIR}" STREQUAL "")
    return()
endif()
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT uid STREQUAL "0")
    message(STATUS "kestrel-capture: not installing as root, so it holds no capture "
        "privileges; as root run: groupadd --system kestrel; chown root:kestrel "
        "${KESTREL_CAPTURE_HELPER}; chmod 0750 ${KESTREL_CAPTURE_HELPER}; "
        "setcap cap_net_raw,cap_net_admin+ep ${KESTREL_CAPTURE_HELPER}")
    return()
endif()

set(all_done TRUE)
function(run_step what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
        message(WARNING "kestrel-capture: ${what} failed: ${error}")
        set(all_done FALSE PARENT_SCOPE)
    endif()
endfunction()

execute_process(COMMAND getent group kestrel RESULT_VARIABLE missing OUTPUT_QUIET)
if(NOT missing EQUAL 0)
    run_step("creating the group kestrel" groupadd --system kestrel)
    message(STATUS "kestrel-capture: created the system group kestrel")
endif()
# The owner first: a change of owner clears file capabilities.
run_step("chown" chown root:kestrel ${KESTREL_CAPTURE_HELPER})
run_step("chmod" chmod 0750 ${KESTREL_CAPTURE_HELPER})
run_step("setcap" setcap cap_net_raw,cap_net_admin+ep ${KESTREL_CAPTURE_HELPER})
if(all_done)
    message(STATUS "kestrel-capture: ${KESTREL_CAPTURE_HELPER} is root:kestrel 0750 with "
        "cap_net_raw,cap_net_admin; users who capture join the group: usermod -aG kestrel USER")
endif()
