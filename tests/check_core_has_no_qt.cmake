# Fails when a source file of the core library includes a Qt header.
file(GLOB_RECURSE core_files
    ${SOURCE_DIR}/src/sip/* ${SOURCE_DIR}/src/routing/* ${SOURCE_DIR}/src/engine/*
    ${SOURCE_DIR}/src/console/logger.* ${SOURCE_DIR}/src/console/stats.*
    ${SOURCE_DIR}/src/console/log_sink.h ${SOURCE_DIR}/src/console/text_log_sink.*)
set(offenders "")
foreach(f ${core_files})
    file(STRINGS ${f} hits REGEX "#[ \t]*include[ \t]*[<\"]Q")
    if(hits)
        list(APPEND offenders "${f}: ${hits}")
    endif()
endforeach()
if(offenders)
    message(FATAL_ERROR "The core includes Qt:\n${offenders}")
endif()
