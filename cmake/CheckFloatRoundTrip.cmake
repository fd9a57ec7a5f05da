# The library computes in double and stores in float everywhere; a compiler that drops a
# double(float(x)) rounding in a vectorised loop changes results silently. Some g++ releases do so
# with SLP vectorisation at -O2: detect it with the build's own flags and build around it.
option(KEXMESH_FLOAT_ROUND_TRIP_WORKAROUND "Build around compilers that drop float roundings (OFF: to compare)" ON)
function(kexmesh_check_float_round_trip)
  if(NOT KEXMESH_FLOAT_ROUND_TRIP_WORKAROUND OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  string(TOUPPER "${CMAKE_BUILD_TYPE}" type)
  set(flags "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${type}}")
  if(NOT flags MATCHES "-O[1-3s]")
    set(flags "${flags} -O2") # the optimisation the tests and the installed library use
  endif()
  separate_arguments(flag_list UNIX_COMMAND "${flags}")
  try_run(run_result compile_result
          SOURCES ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/checks/FloatRoundTrip.cpp
          COMPILE_DEFINITIONS ${flag_list}
          RUN_OUTPUT_VARIABLE output)
  string(STRIP "${output}" output)
  if(compile_result AND NOT run_result EQUAL 0)
    message(STATUS "g++ ${CMAKE_CXX_COMPILER_VERSION} drops float roundings in SLP-vectorised loops (${output}): "
                   "building with -fno-tree-slp-vectorize")
    add_compile_options(-fno-tree-slp-vectorize)
  endif()
endfunction()
