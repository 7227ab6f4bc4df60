# The plug-in suite loads test plug-ins, one library per variant of
# tests/plugins/test_plugin.cpp, from bin/test-plugins/.
if(TARGET design_plugins_test)
  set(variants sound no_symbol abi no_create no_write no_read none too_many
               same_id not_kelpori)
  set(index 0)
  foreach(variant IN LISTS variants)
    add_library(test_plugin_${variant} MODULE plugins/test_plugin.cpp)
    target_compile_definitions(test_plugin_${variant} PRIVATE VARIANT=${index})
    target_link_libraries(test_plugin_${variant} PRIVATE
                          tv940_design_contract)
    set_target_properties(test_plugin_${variant} PROPERTIES
      PREFIX "" OUTPUT_NAME ${variant}
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/test-plugins)
    add_dependencies(design_plugins_test test_plugin_${variant})
    math(EXPR index "${index} + 1")
  endforeach()
  add_dependencies(design_plugins_test kelpori tv940-trace)
endif()
