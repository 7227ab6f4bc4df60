# Windows builds only: the suites get the POSIX stand-ins of test_support.h,
# and the Win32 side of the seam has a suite of its own. The programs' runs
# under Wine are checked by tests/e2e/windows.sh (scripts/stages/windows).
if(WIN32)
  foreach(name ${suites})
    target_compile_options(${name} PRIVATE
      "SHELL:-include ${CMAKE_CURRENT_SOURCE_DIR}/test_support.h")
  endforeach()

  add_executable(windows_os_test e2e/windows_os_test.cpp)
  target_link_libraries(windows_os_test PRIVATE tv940_platform
                                                GTest::gtest_main)
  gtest_discover_tests(windows_os_test DISCOVERY_TIMEOUT 60)
endif()
