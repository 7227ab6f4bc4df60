# tv940_add_verilog_design: a design plug-in for the simulated card made of a
# Verilog module, verilated with Verilator.
#
#   tv940_add_verilog_design(<target> TOP <module> IDENTIFICATION <hex>
#                            NAME <text> SOURCES <files...>
#                            [VERILATOR_ARGS <args...>])
#
# builds <target> as a shared library (<target>.so; a .dll on Windows) that
# TV940_SIM_DESIGNS and `tv940-trace check --designs` load. The module's
# ports are fixed: clk, rst, column[5:0], write_enable, read_enable,
# write_data[31:0], mask_c010[31:0], mask_c014[31:0], clock_running as
# inputs, read_data[31:0] as output, and optionally irq and irq_word[31:0].
# docs/your-design.md tells how the card drives them.
set(_TV940_VERILOG_DIR ${CMAKE_CURRENT_LIST_DIR})

function(tv940_add_verilog_design target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TOP;IDENTIFICATION;NAME"
                        "SOURCES;VERILATOR_ARGS")
  foreach(required TOP IDENTIFICATION NAME SOURCES)
    if(NOT arg_${required})
      message(FATAL_ERROR "tv940_add_verilog_design(${target}): ${required} "
                          "is missing")
    endif()
  endforeach()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tv940_add_verilog_design(${target}): unknown "
                        "arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  string(REGEX REPLACE "^0[xX]" "" identification "${arg_IDENTIFICATION}")
  if(NOT identification MATCHES "^[0-9a-fA-F]+$"
     OR identification MATCHES "^.........")
    message(FATAL_ERROR "tv940_add_verilog_design(${target}): IDENTIFICATION "
                        "${arg_IDENTIFICATION} is not a 32-bit hex word")
  endif()
  if(arg_NAME MATCHES "[\"\\\\]")
    message(FATAL_ERROR "tv940_add_verilog_design(${target}): NAME may not "
                        "hold quotes or backslashes")
  endif()
  find_package(verilator REQUIRED HINTS $ENV{VERILATOR_ROOT})

  set(TV940_TOP ${arg_TOP})
  set(TV940_PREFIX V${arg_TOP})
  set(TV940_IDENTIFICATION 0x${identification})
  set(TV940_NAME "${arg_NAME}")
  set(glue ${CMAKE_CURRENT_BINARY_DIR}/${target}_design.cpp)
  configure_file(${_TV940_VERILOG_DIR}/tv940_verilog_design.cpp.in ${glue}
                 @ONLY)

  add_library(${target} MODULE ${glue})
  set_target_properties(${target} PROPERTIES PREFIX "" CXX_STANDARD 17
                                             POSITION_INDEPENDENT_CODE ON)
  target_link_libraries(${target} PRIVATE TV940::design)
  verilate(${target} SOURCES ${arg_SOURCES} TOP_MODULE ${arg_TOP}
           PREFIX V${arg_TOP} TRACE
           VERILATOR_ARGS -Wall -Wno-fatal ${arg_VERILATOR_ARGS})
endfunction()
