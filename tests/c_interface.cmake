# The C interface: a test compiled as C against a copy of the shared library
# that carries a test hook (tv940_test_raise_interrupt) beside the product's
# exports; the Python package's interrupt test loads the same copy.
if(NOT WIN32 AND TARGET boardlib_shared)
  enable_language(C)
  add_library(tv940_test_hooks SHARED c_interface_hooks.cpp)
  target_link_libraries(tv940_test_hooks
                        PRIVATE $<LINK_LIBRARY:WHOLE_ARCHIVE,boardlib>)
  tv940_limit_exports(tv940_test_hooks)
  set_target_properties(tv940_test_hooks PROPERTIES LIBRARY_OUTPUT_DIRECTORY
                                                    ${PROJECT_BINARY_DIR}/lib)
  add_executable(c_interface_test c_interface_test.c)
  set_target_properties(c_interface_test PROPERTIES C_STANDARD 99
                                                    C_STANDARD_REQUIRED ON)
  target_include_directories(c_interface_test PRIVATE ${PROJECT_SOURCE_DIR}/include)
  find_package(Threads REQUIRED)
  target_link_libraries(c_interface_test PRIVATE tv940_test_hooks Threads::Threads)
  target_compile_definitions(c_interface_test PRIVATE
    TV940_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_test(NAME c_interface_test COMMAND c_interface_test)
  set_tests_properties(c_interface_test PROPERTIES TIMEOUT 120)

  # The product library exports the C interface and the C++ API only.
  add_test(NAME c_interface_exports
           COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:boardlib_shared>
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/c_interface_exports.cmake)
endif()
