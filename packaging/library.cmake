# boardlib for other projects: the library and the project's libraries it
# needs, its headers under include/tv940/, the CMake package TV940
# (TV940::boardlib) and the pkg-config file tv940-boardlib.pc.

set(TV940_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/tv940)
set(TV940_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/TV940)

# The project's libraries that `target` needs at link time, in link order
# (each before those it uses). A static library needs all of its own; a
# shared one holds its private ones.
function(tv940_link_closure out target)
  set(order)
  set(stack ${target})
  set(seen)
  # Depth first; a library is placed once all that link to it are placed.
  while(stack)
    list(POP_BACK stack current)
    if(current MATCHES "^-")  # marks a finished library
      string(SUBSTRING "${current}" 1 -1 finished)
      list(PREPEND order ${finished})
      continue()
    endif()
    if(current IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${current})
    list(APPEND stack -${current})
    get_target_property(type ${current} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      get_target_property(dependencies ${current} INTERFACE_LINK_LIBRARIES)
    else()
      get_target_property(dependencies ${current} LINK_LIBRARIES)
    endif()
    foreach(dependency IN LISTS dependencies)
      if(TARGET ${dependency})
        get_target_property(imported ${dependency} IMPORTED)
        get_target_property(aliased ${dependency} ALIASED_TARGET)
        if(aliased)
          set(dependency ${aliased})
        endif()
        if(NOT imported AND NOT dependency IN_LIST seen)
          list(APPEND stack ${dependency})
        endif()
      endif()
    endforeach()
  endwhile()
  set(${out} ${order} PARENT_SCOPE)
endfunction()

# The project headers that `headers` include ("dir/file.h", from the project
# root or the including header's folder), transitively, with `headers`; as
# paths from the project root. A change to one of them reconfigures.
function(tv940_header_closure out)
  set(pending ${ARGN})
  set(found)
  while(pending)
    list(POP_FRONT pending header)
    if(header IN_LIST found)
      continue()
    endif()
    list(APPEND found ${header})
    set(path ${PROJECT_SOURCE_DIR}/${header})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
    file(STRINGS ${path} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    get_filename_component(folder ${header} DIRECTORY)
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1"
                           included "${line}")
      if(folder AND EXISTS ${PROJECT_SOURCE_DIR}/${folder}/${included})
        list(APPEND pending ${folder}/${included})
      elseif(EXISTS ${PROJECT_SOURCE_DIR}/${included})
        list(APPEND pending ${included})
      else()
        message(FATAL_ERROR "${header} includes \"${included}\", which is "
                            "not a header of the source tree")
      endif()
    endforeach()
  endwhile()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

tv940_link_closure(libraries boardlib)
foreach(library IN LISTS libraries)
  # Headers come from the source tree in the build and from include/tv940/
  # once installed.
  get_target_property(folders ${library} INTERFACE_INCLUDE_DIRECTORIES)
  if(NOT folders)
    set(folders)
  endif()
  set(interface)
  foreach(folder IN LISTS folders)
    string(FIND "${folder}/" "${PROJECT_SOURCE_DIR}/" in_source)
    string(FIND "${folder}/" "${PROJECT_BINARY_DIR}/" in_build)
    if(in_source EQUAL 0 OR in_build EQUAL 0)
      list(APPEND interface "$<BUILD_INTERFACE:${folder}>")
    else()
      list(APPEND interface "${folder}")
    endif()
  endforeach()
  list(APPEND interface "$<INSTALL_INTERFACE:${TV940_INCLUDEDIR}>")
  set_target_properties(${library} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                                              "${interface}")
endforeach()
install(
  TARGETS ${libraries}
  EXPORT TV940Targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(EXPORT TV940Targets NAMESPACE TV940:: DESTINATION ${TV940_CMAKEDIR})

tv940_header_closure(headers boardlib/board.h boardlib/driver.h)
foreach(header IN LISTS headers)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header}
          DESTINATION ${TV940_INCLUDEDIR}/${folder})
endforeach()

configure_package_config_file(
  TV940Config.cmake.in TV940Config.cmake INSTALL_DESTINATION ${TV940_CMAKEDIR})
write_basic_package_version_file(TV940ConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TV940Config.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/TV940ConfigVersion.cmake
        DESTINATION ${TV940_CMAKEDIR})

# pkg-config: the prefix from the file's own place, so that the installed
# tree can move. A static boardlib needs the libraries it uses and threads.
set(pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH pc_to_prefix /prefix/${pkgconfig_dir} /prefix)
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
set(pc_libs)
foreach(library IN LISTS libraries)
  string(APPEND pc_libs " -l$<TARGET_FILE_BASE_NAME:${library}>")
endforeach()
get_target_property(boardlib_type boardlib TYPE)
if(boardlib_type STREQUAL "STATIC_LIBRARY")
  string(APPEND pc_libs " -pthread")
endif()
configure_file(tv940-boardlib.pc.in tv940-boardlib.pc.in @ONLY)
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/tv940-boardlib.pc
     INPUT ${CMAKE_CURRENT_BINARY_DIR}/tv940-boardlib.pc.in)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tv940-boardlib.pc
        DESTINATION ${pkgconfig_dir})
