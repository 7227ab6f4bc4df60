# Packages: cpack -G DEB in a Linux build, cpack -G ZIP in a Windows one.
set(CPACK_PACKAGE_NAME tv940)
set(CPACK_PACKAGE_VENDOR "TV940 board software developers")
set(CPACK_PACKAGE_CONTACT "${TV940_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${CMAKE_CURRENT_SOURCE_DIR}/description.txt)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX packages)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Python package tv940 (the library's own dependencies come from
# dpkg-shlibdeps beside it).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3:any")

include(CPack)
