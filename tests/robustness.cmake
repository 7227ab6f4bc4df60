# The robustness suite runs both programs as processes: build them with it.
if(TARGET robustness_test)
  add_dependencies(robustness_test kelpori vontrel)
endif()
