# The Debian package: `make package` (or cpack in a build folder) writes
# corvel-code-updater_<version>_<arch>.deb into the build folder. It holds the
# updater, the companion programs, their man pages, the desktop entry and
# icon, the udev rule for the USB programming adapters and the documentation.
if(CORVEL_FUZZ)
  return()
endif()

include(GNUInstallDirs)
set(corvel_packaging_dir ${PROJECT_SOURCE_DIR}/packaging)

# The programs. corvel-radio-sim, corvel-codeplug, corvel-ports and corvel-station install
# themselves from their own folders; these two do not.
foreach(program corvel-updater corvel-pack)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Man pages: scdoc sources in docs/man, roff in <build>/man (installed
# compressed, as Debian keeps them).
set(corvel_man_pages corvel-updater corvel-pack corvel-radio-sim corvel-codeplug corvel-ports corvel-station)
find_program(CORVEL_SCDOC scdoc)
if(CORVEL_SCDOC)
  set(corvel_man_outputs)
  foreach(page ${corvel_man_pages})
    set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.1.scd)
    set(output ${CMAKE_BINARY_DIR}/man/${page}.1)
    add_custom_command(OUTPUT ${output} ${output}.gz
      COMMAND ${CMAKE_COMMAND} -DIN=${source} -DOUT=${output} -DSCDOC=${CORVEL_SCDOC}
              -DVERSION=${PROJECT_VERSION} -P ${corvel_packaging_dir}/ScdocPage.cmake
      DEPENDS ${source} ${corvel_packaging_dir}/ScdocPage.cmake
      COMMENT "Man page ${page}.1"
      VERBATIM)
    list(APPEND corvel_man_outputs ${output} ${output}.gz)
    install(FILES ${output}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  add_custom_target(corvel-man ALL DEPENDS ${corvel_man_outputs})
else()
  message(STATUS "scdoc not found: no man pages (Debian package scdoc); packaging will stop")
  install(CODE "message(FATAL_ERROR \"The man pages need scdoc (Debian package scdoc): install it and configure again.\")")
endif()

install(FILES ${corvel_packaging_dir}/corvel-code-updater.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${corvel_packaging_dir}/corvel-code-updater.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${corvel_packaging_dir}/60-corvel-programming-adapters.rules
        DESTINATION lib/udev/rules.d)

# Bash completion of the companion programs: one script that reads each
# program's --help, found by bash-completion under every program's name.
set(corvel_completion_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${corvel_packaging_dir}/corvel-tools.bash-completion
        DESTINATION ${corvel_completion_dir} RENAME corvel-pack)
foreach(program corvel-ports corvel-radio-sim corvel-codeplug corvel-station)
  install(CODE "file(CREATE_LINK corvel-pack
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${corvel_completion_dir}/${program}\" SYMBOLIC)")
endforeach()

# The documentation: the guides side by side with the README, whose links
# then lose their "docs/" prefix, and the pictures the README shows.
set(corvel_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/corvel-code-updater)
file(GLOB corvel_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
file(GLOB corvel_screenshots CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/screenshots/*.png)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
file(READ ${PROJECT_SOURCE_DIR}/README.md corvel_readme)
string(REPLACE "](docs/" "](" corvel_readme "${corvel_readme}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/doc/README.md CONTENT "${corvel_readme}" @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/doc/README.md ${corvel_docs} DESTINATION ${corvel_doc_dir})
install(FILES ${corvel_screenshots} DESTINATION ${corvel_doc_dir}/screenshots)
install(FILES ${corvel_packaging_dir}/copyright DESTINATION ${corvel_doc_dir})
install(FILES ${corvel_packaging_dir}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME corvel-code-updater)
# Debian keeps the changelog compressed, without a name or time inside.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
  COMMAND gzip -9nc ${corvel_packaging_dir}/changelog > ${CMAKE_BINARY_DIR}/doc/changelog.gz
  DEPENDS ${corvel_packaging_dir}/changelog
  COMMENT "changelog.gz")
add_custom_target(corvel-changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/doc/changelog.gz DESTINATION ${corvel_doc_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvel-code-updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Corvel")
# The same address as in packaging/changelog and packaging/copyright.
set(CPACK_PACKAGE_CONTACT "Corvel Code Updater maintainers <code-updater@corvel.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
# Stripped as Debian strips: also without the compilers' .comment and .note.
set(CPACK_PRE_BUILD_SCRIPTS ${corvel_packaging_dir}/StripNotes.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Firmware updater for 4400 and 4600 family two-way radios
Updates the firmware of a radio over a serial port or USB programming adapter
and carries the radio's codeplug across the update, in a window or as a
console job for batch files. With the release packer corvel-pack, the
simulated radio corvel-radio-sim, the codeplug tool corvel-codeplug, the
port overview corvel-ports and the update station corvel-station, and a
udev rule that gives the USB programming adapters to the group dialout.")
# The runtime libraries come from dpkg-shlibdeps (package dpkg-dev), so the
# Depends line names exactly what the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${corvel_packaging_dir}/postinst ${corvel_packaging_dir}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)

# The packaging test installs the tree into a temporary folder.
if(TARGET packaging_files_test)
  add_dependencies(packaging_files_test corvel-updater corvel-changelog)
  if(TARGET corvel-man)
    add_dependencies(packaging_files_test corvel-man)
  endif()
endif()
