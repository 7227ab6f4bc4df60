# The C interface's header, and the Python package tv940 with a copy of the
# shared library beside it (where the package looks first), in the
# component "python" as well as in the full install.
#
# TV940_PYTHON_DIR is relative to the prefix: Debian's Python reads
# lib/python3/dist-packages under /usr (the .deb's prefix); under /usr/local
# it reads lib/python3.X/dist-packages, and another prefix needs PYTHONPATH.
set(TV940_PYTHON_DIR
    lib/python3/dist-packages
    CACHE STRING "Where the Python package tv940 goes, relative to the prefix")

install(FILES ${PROJECT_SOURCE_DIR}/include/tv940/tv940.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tv940 COMPONENT python)
if(TARGET ${TV940_SHARED_BOARDLIB})
  file(GLOB package_files CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/python/tv940/*.py)
  install(FILES ${package_files} DESTINATION ${TV940_PYTHON_DIR}/tv940
          COMPONENT python)
  # As a target, so that the .deb strips it: the library and its SONAME
  # link, which the package loads.
  install(TARGETS ${TV940_SHARED_BOARDLIB}
          LIBRARY DESTINATION ${TV940_PYTHON_DIR}/tv940 COMPONENT python
                  NAMELINK_SKIP)
endif()

# The package's version is the project's.
file(STRINGS ${PROJECT_SOURCE_DIR}/python/tv940/_version.py python_version
     REGEX "^__version__ = ")
if(NOT python_version STREQUAL "__version__ = \"${PROJECT_VERSION}\"")
  message(FATAL_ERROR "python/tv940/_version.py says ${python_version}; the "
                      "project's version is ${PROJECT_VERSION}")
endif()

# <tv940/tv940.h> from the installed include folder itself.
set_property(
  TARGET boardlib APPEND
  PROPERTY INTERFACE_INCLUDE_DIRECTORIES
           "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
