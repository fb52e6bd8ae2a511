# Installs the build tree into a fresh prefix, then builds the consumer
# program against it twice, through find_package and through pkg-config,
# and runs both. Arguments (-D): BUILD_DIR, WORK_DIR, CONSUMER_DIR,
# GENERATOR, CXX, FLAGS (extra compile and link flags, may be empty).
function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
step(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(program kelvane veluna)
  if(NOT EXISTS ${prefix}/bin/${program})
    message(FATAL_ERROR "${program} was not installed")
  endif()
endforeach()
execute_process(COMMAND ${prefix}/bin/kelvane OUTPUT_VARIABLE banner RESULT_VARIABLE rc)
if(NOT rc EQUAL 255 OR NOT banner MATCHES "^Kelvane 2.0 - image compression")
  message(FATAL_ERROR "installed kelvane: status ${rc}, output ${banner}")
endif()

# find_package
step(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
     -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${FLAGS}"
     "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}")
step(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
step(${WORK_DIR}/consumer/consumer)
if(NOT step_output STREQUAL "consumer ok\n")
  message(FATAL_ERROR "find_package consumer printed: ${step_output}")
endif()

# pkg-config
file(GLOB_RECURSE pc_files ${prefix}/kelvane.pc)
list(LENGTH pc_files pc_count)
if(NOT pc_count EQUAL 1)
  message(FATAL_ERROR "expected one kelvane.pc under ${prefix}, found: ${pc_files}")
endif()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
step(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir} pkg-config --cflags --libs kelvane)
string(STRIP "${step_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra UNIX_COMMAND "${FLAGS}")
step(${CXX} -std=c++20 ${extra} ${CONSUMER_DIR}/consumer.cpp ${pc_flags} -o ${WORK_DIR}/pc_consumer)
step(${WORK_DIR}/pc_consumer)
if(NOT step_output STREQUAL "consumer ok\n")
  message(FATAL_ERROR "pkg-config consumer printed: ${step_output}")
endif()
message(STATUS "installed package works through find_package and pkg-config")
