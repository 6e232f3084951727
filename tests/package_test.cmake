# Installs the build into a temporary prefix and builds examples/ against the installed package
# as a separate project would: through find_package(clastool), and once more through pkg-config.
# Run by CTest (test "package_install") with -D CLASTOOL_BUILD_DIR, CLASTOOL_SOURCE_DIR,
# CLASTOOL_WORK_DIR, CLASTOOL_SANITIZE and CLASTOOL_CONFIG.
cmake_minimum_required(VERSION 3.16)

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${CLASTOOL_WORK_DIR}/prefix)
file(REMOVE_RECURSE ${CLASTOOL_WORK_DIR})
set(config_args)
if(CLASTOOL_CONFIG)
  set(config_args --config ${CLASTOOL_CONFIG})
endif()
run_step("cmake --install" ${CMAKE_COMMAND} --install ${CLASTOOL_BUILD_DIR} --prefix ${prefix} ${config_args})

# What a consumer relies on must be there.
file(GLOB_RECURSE sonames ${prefix}/lib*/libclastool.so.[0-9])
file(GLOB_RECURSE platform_sonames ${prefix}/lib*/libclastool_platform.so.[0-9])
file(GLOB_RECURSE configs ${prefix}/clastoolConfig.cmake)
file(GLOB_RECURSE versions ${prefix}/clastoolConfigVersion.cmake)
file(GLOB_RECURSE pcs ${prefix}/clastool.pc)
foreach(what sonames platform_sonames configs versions pcs)
  if(NOT ${what})
    message(FATAL_ERROR "the install lacks ${what}")
  endif()
endforeach()
foreach(header clss/clastool/clastool.h platform/archive.h platform/handle.h)
  if(NOT EXISTS ${prefix}/include/clastool/${header})
    message(FATAL_ERROR "the install lacks include/clastool/${header}")
  endif()
endforeach()
# Nothing with a generic name in the shared prefix: one folder of headers, libraries named after
# the project.
file(GLOB top_includes RELATIVE ${prefix}/include ${prefix}/include/*)
file(GLOB_RECURSE foreign_libs ${prefix}/lib*/lib*.so*)
list(FILTER foreign_libs EXCLUDE REGEX "/libclastool[^/]*$")
if(NOT top_includes STREQUAL "clastool" OR foreign_libs)
  message(FATAL_ERROR "the install puts generic names into the prefix: include/${top_includes} ${foreign_libs}")
endif()

# Sanitized libraries need the sanitizer runtime in the consumer too.
set(flags "")
if(CLASTOOL_SANITIZE STREQUAL "address")
  set(flags "-fsanitize=address,undefined")
elseif(CLASTOOL_SANITIZE STREQUAL "thread")
  set(flags "-fsanitize=thread")
endif()

# 1. A separate CMake project using find_package.
run_step("configuring examples/ against the package"
  ${CMAKE_COMMAND} -S ${CLASTOOL_SOURCE_DIR}/examples -B ${CLASTOOL_WORK_DIR}/examples
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS=${flags}")
run_step("building examples/" ${CMAKE_COMMAND} --build ${CLASTOOL_WORK_DIR}/examples -j 2)
run_step("running examples/roundtrip" ${CLASTOOL_WORK_DIR}/examples/roundtrip)
run_step("running examples/csvfile" ${CLASTOOL_WORK_DIR}/examples/csvfile)
run_step("running examples/tour" ${CLASTOOL_WORK_DIR}/examples/tour)
message(STATUS "examples/tour (find_package): ${step_output}")

# 2. The same program built with the flags pkg-config gives.
get_filename_component(pcdir ${pcs} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
execute_process(COMMAND pkg-config --cflags --libs clastool RESULT_VARIABLE rc OUTPUT_VARIABLE pcflags
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know clastool")
endif()
separate_arguments(pcflags UNIX_COMMAND "${pcflags}")
separate_arguments(sanflags UNIX_COMMAND "${flags}")
get_filename_component(libdir ${sonames} DIRECTORY)
run_step("compiling with pkg-config's flags"
  c++ -std=c++17 ${sanflags} ${CLASTOOL_SOURCE_DIR}/examples/roundtrip.cpp ${pcflags} -Wl,-rpath,${libdir}
  -o ${CLASTOOL_WORK_DIR}/roundtrip-pc)
run_step("running the pkg-config build" ${CLASTOOL_WORK_DIR}/roundtrip-pc)
