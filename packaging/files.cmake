# What the installed programs come with: manual pages, documents, the design
# files, the udev rule and, for the .deb, the copyright and changelog files.

# Manual pages and the changelog go in compressed, as Debian keeps them
# (gzip -n: no name or time stamp, so the same sources give the same files).
find_program(TV940_GZIP gzip REQUIRED)
set(compressed)
function(tv940_gzip source name)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${TV940_GZIP} -9nc ${source} > ${output}
    DEPENDS ${source}
    VERBATIM)
  set(compressed ${compressed} ${output} PARENT_SCOPE)
endfunction()

# The pages carry the project's version: man/ holds their templates.
foreach(page kelpori.1 vontrel.1 tv940-trace.1 tv940-bfxgen.1)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.in ${page} @ONLY)
  tv940_gzip(${CMAKE_CURRENT_BINARY_DIR}/${page} ${page})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

configure_file(changelog.in changelog @ONLY)
tv940_gzip(${CMAKE_CURRENT_BINARY_DIR}/changelog changelog)
add_custom_target(tv940_compressed ALL DEPENDS ${compressed})

install(FILES ${PROJECT_SOURCE_DIR}/README.md copyright
              ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The chapters keep their folder, so that the links between them and the
# README hold.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs DESTINATION ${CMAKE_INSTALL_DOCDIR}
        FILES_MATCHING PATTERN "*.md")
install(FILES ${PROJECT_SOURCE_DIR}/designs/kelpori.bfx
              ${PROJECT_SOURCE_DIR}/designs/vontrel.bfx
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tv940/designs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/designs/faulty
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tv940/designs
        FILES_MATCHING PATTERN "*.bfx")

# The udev rule for the card's device files, where the tree has one.
set(udev_rule ${PROJECT_SOURCE_DIR}/udev/70-tv940-vfio.rules)
if(EXISTS ${udev_rule})
  install(FILES ${udev_rule} DESTINATION lib/udev/rules.d)
endif()
