# Install rules and CPack: the Windows zip and the Linux .deb of the console program. scripts/package
# drives it, and makes the Linux tar.gz from the same install rules with GNU tar: CPack 3.25's
# archive writer takes SOURCE_DATE_EPOCH for the entries' times but lists each folder in the file
# system's order, which strip-nondeterminism sorts for a zip and not for a tar; its DEB writer
# sorts.

set(CPACK_PACKAGE_NAME "Kestrome")
# CPack would take only three parts of the version.
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "The Kestrome developers")
set(CPACK_PACKAGE_CONTACT "The Kestrome developers <kestrome@kestrome.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
# Symbol tables carry object file names; the packages need none of them.
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  # Windows users open the read-me and the licence in Notepad: CRLF line ends, a .txt name.
  configure_file(docs/README-windows.txt "${CMAKE_BINARY_DIR}/package/README.txt" @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE "${CMAKE_BINARY_DIR}/package/LICENSE.txt" @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS Kestrome KestromeCli RUNTIME DESTINATION .)
  install(FILES "${CMAKE_BINARY_DIR}/package/README.txt" "${CMAKE_BINARY_DIR}/package/LICENSE.txt" DESTINATION .)
  set(CPACK_GENERATOR "ZIP")
  set(CPACK_PACKAGE_FILE_NAME "${KESTROME_WINDOWS_PACKAGE_NAME}")
else()
  include(GNUInstallDirs)
  # Debian's rule for manual pages: gzip -9n, so no name or time goes into the header.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  add_custom_command(OUTPUT kestrome.1.gz
                     COMMAND "${GZIP_PROGRAM}" -9n -c "${CMAKE_SOURCE_DIR}/docs/kestrome.1" > kestrome.1.gz
                     DEPENDS docs/kestrome.1 VERBATIM)
  add_custom_target(kestrome_manual ALL DEPENDS kestrome.1.gz)
  install(TARGETS kestrome RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  install(FILES "${CMAKE_BINARY_DIR}/kestrome.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  install(FILES LICENSE DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrome" RENAME copyright)
  set(CPACK_GENERATOR "DEB")
  set(CPACK_PACKAGE_FILE_NAME "Kestrome-${PROJECT_VERSION}-linux-x64")
  set(CPACK_DEBIAN_PACKAGE_NAME "kestrome")
  set(CPACK_DEBIAN_FILE_NAME "kestrome_${PROJECT_VERSION}_amd64.deb")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "amd64")
  set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
  # The program is linked statically: it depends on no other package.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Brings a destination folder up to date with a source folder: copies missing
files, moves renamed ones inside the destination, puts replaced files into
Backup and, on request, vanished ones into Deleted.")
endif()

include(CPack)
