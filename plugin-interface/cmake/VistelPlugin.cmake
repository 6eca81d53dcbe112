# vistel_add_plugin(<Name> SOURCES <files>... [LIBRARIES <targets>...])
#
# Builds the processor plug-in Vistel<Name>.so (no "lib" prefix) from the sources, against
# Vistel::PluginInterface. Only the export GetProcessorFactory is visible: hidden symbols keep the
# library's own copies of inline code apart from the host's and let it unload when no longer used.
function(vistel_add_plugin name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "vistel_add_plugin(${name}): SOURCES is empty")
  endif()
  set(target Vistel${name})
  add_library(${target} MODULE ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE Vistel::PluginInterface ${ARG_LIBRARIES})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME Vistel${name}
    SUFFIX ".so"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # Unique global symbols would pin the library in memory for the life of the process.
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()
  # Undefined symbols fail the link here instead of the load in the host.
  target_link_options(${target} PRIVATE LINKER:--no-undefined)
endfunction()
