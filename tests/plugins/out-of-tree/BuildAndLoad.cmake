# cmake -DBUILD_DIR=... -DPLUGIN_SOURCE_DIR=... -DWORK_DIR=... -DCXX_COMPILER=... -DCHECK=... -P BuildAndLoad.cmake
# Installs the plug-in interface alone, builds the plug-in project against that prefix and has
# the host's loader run it.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}")
  endif()
  message(STATUS "${output}")
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --component VistelPluginInterface --prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} -S ${PLUGIN_SOURCE_DIR} -B ${WORK_DIR}/build -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${CHECK} ${WORK_DIR}/build)
