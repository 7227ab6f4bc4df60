# GoogleTest for a cross build (Windows, 32-bit Linux): no GoogleTest is
# installed for the target, so it is built from the sources Debian ships
# (package googletest, pulled in by libgtest-dev), with the same GoogleTest::
# targets the installed one has.
set(TV940_GOOGLETEST_SOURCE /usr/src/googletest
    CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${TV940_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${TV940_GOOGLETEST_SOURCE} "
                      "(install googletest)")
endif()
# On Windows, GoogleTest and the suites share the stand-in for its one use of
# std::mutex (see the header).
if(WIN32)
  add_compile_options(
    "SHELL:-include ${CMAKE_CURRENT_LIST_DIR}/windows-gtest-notification.h")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(${TV940_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL SYSTEM)
# The project's warning options are not GoogleTest's to meet.
foreach(target gtest gtest_main gmock gmock_main)
  target_compile_options(${target} PRIVATE -w)
endforeach()
