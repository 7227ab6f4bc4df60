# What a user needs to write a design of their own: the plug-in contract's
# headers (<tv940/design_plugin.h>, <tv940/design.hpp>) as TV940::design,
# tv940_add_verilog_design, and tv940-bfxgen with its manual page.
install(FILES ${PROJECT_SOURCE_DIR}/sim/include/tv940/design_plugin.h
              ${PROJECT_SOURCE_DIR}/sim/include/tv940/design.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tv940)
target_include_directories(tv940_design_contract INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(tv940_design_contract PROPERTIES EXPORT_NAME design)
install(TARGETS tv940_design_contract EXPORT TV940Targets)
install(FILES TV940VerilogDesign.cmake tv940_verilog_design.cpp.in
        DESTINATION ${TV940_CMAKEDIR})

install(TARGETS tv940-bfxgen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
