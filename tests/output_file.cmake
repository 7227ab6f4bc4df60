# The output-file suite drives both programs' line writers.
if(TARGET output_file_test)
  target_link_libraries(output_file_test PRIVATE kelpori_core vontrel_core)
endif()
