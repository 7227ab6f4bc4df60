# The programs' suite runs both programs and drives their loops in-process.
if(TARGET programs_test)
  target_link_libraries(programs_test PRIVATE kelpori_core vontrel_core)
  add_dependencies(programs_test kelpori vontrel)
endif()
