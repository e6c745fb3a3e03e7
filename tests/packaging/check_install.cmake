# cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DEXAMPLES_DIR=... -DC_COMPILER=...
#       -P check_install.cmake
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# What is installed, and what is not.
file(GLOB_RECURSE pc_files ${prefix}/*/ovelcanfd.pc)
file(GLOB_RECURSE config_files ${prefix}/*/ovelcanfdConfig.cmake)
file(GLOB_RECURSE soname_links ${prefix}/*/libovelcanfd.so.0)
file(GLOB_RECURSE sim_libraries ${prefix}/*libovelcanfd-sim*)
foreach(required pc_files config_files soname_links)
    if(NOT ${required})
        message(FATAL_ERROR "not installed: ${required}")
    endif()
endforeach()
if(sim_libraries OR EXISTS ${prefix}/bin/ovelcanfd-sim)
    message(FATAL_ERROR "the simulated adapter must not be installed: ${sim_libraries}")
endif()
foreach(file include/ovelcanfd.h bin/ovelcanfd)
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
get_filename_component(libdir ${pc_dir} DIRECTORY)

# The installed tool finds the installed library by itself.
execute_process(COMMAND ${prefix}/bin/ovelcanfd --help RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "installed ovelcanfd --help failed: ${result}")
endif()

# pkg-config, with only the installed .pc files in its path: the flags must not need libusb's.
set(ENV{PKG_CONFIG_LIBDIR} ${pc_dir})
unset(ENV{PKG_CONFIG_PATH})
run(pkg-config --cflags --libs ovelcanfd)
if(run_output MATCHES "usb")
    message(FATAL_ERROR "pkg-config gives users libusb's flags: ${run_output}")
endif()
separate_arguments(flags UNIX_COMMAND "${run_output}")
run(${C_COMPILER} -std=c11 -Wall -Werror ${CONSUMER_DIR}/consumer.c ${flags}
    -Wl,-rpath,${libdir} -o ${WORK_DIR}/consumer_pkgconfig)
run(${WORK_DIR}/consumer_pkgconfig)

# The examples, as their comments say to build them, in strict C99.
foreach(example receive_print send_wait_echo send_burst)
    run(${C_COMPILER} -std=c99 -Wall -Wextra -Wpedantic -Werror ${EXAMPLES_DIR}/${example}.c
        ${flags} -pthread -Wl,-rpath,${libdir} -o ${WORK_DIR}/${example})
endforeach()

# find_package(ovelcanfd).
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake_consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake_consumer)
run(${WORK_DIR}/cmake_consumer/consumer)
message(STATUS "installed package consumers built and ran")
