# The design suite runs bfxgen and compares its output with designs/.
if(TARGET designs_test)
  add_dependencies(designs_test bfxgen)
endif()
