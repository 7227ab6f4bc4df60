# The trace tool's suite traces runs of both programs and reads the traces
# with tv940-trace.
if(TARGET trace_tool_test)
  add_dependencies(trace_tool_test tv940-trace kelpori vontrel)
endif()
