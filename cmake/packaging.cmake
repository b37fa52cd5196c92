# Install rules and CPack: the Windows zip and the Linux .deb of the console program, and the
# Windows installer (makensis, packaging/installer.nsi). scripts/package drives it, and makes the
# Linux tar.gz from the same install rules with GNU tar: CPack 3.25's archive writer takes
# SOURCE_DATE_EPOCH for the entries' times but lists each folder in the file system's order, which
# strip-nondeterminism sorts for a zip and not for a tar; its DEB writer sorts.
#
# Every package holds the user's guide as one HTML page (with its picture beside it), the changes
# of each version (CHANGELOG.md) and the licence.

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

# The guide as HTML, built for both platforms' packages.
find_program(CMARK_GFM_PROGRAM cmark-gfm REQUIRED)
set(KESTROME_GUIDE_HTML "${CMAKE_BINARY_DIR}/package/Guide.html")
add_custom_command(OUTPUT "${KESTROME_GUIDE_HTML}"
                   COMMAND "${CMAKE_SOURCE_DIR}/packaging/guide-html" "${CMARK_GFM_PROGRAM}"
                           "${CMAKE_SOURCE_DIR}/docs/guide.md" "${PROJECT_VERSION}" > "${KESTROME_GUIDE_HTML}"
                   DEPENDS docs/guide.md packaging/guide-html VERBATIM)
add_custom_target(kestrome_guide ALL DEPENDS "${KESTROME_GUIDE_HTML}")

if(WIN32)
  # Windows users open the read-me, the changelog and the licence in Notepad: CRLF line ends, a
  # .txt name. The guide opens in the browser.
  configure_file(docs/README-windows.txt "${CMAKE_BINARY_DIR}/package/README.txt" @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE "${CMAKE_BINARY_DIR}/package/LICENSE.txt" @ONLY NEWLINE_STYLE CRLF)
  configure_file(CHANGELOG.md "${CMAKE_BINARY_DIR}/package/CHANGELOG.txt" @ONLY NEWLINE_STYLE CRLF)
  configure_file(docs/screenshot.png "${CMAKE_BINARY_DIR}/package/screenshot.png" COPYONLY)
  # The guide's nightly task in the form Task Scheduler writes its own: UTF-16 with its byte-order
  # mark, CRLF, and a declaration that says so.
  configure_file(docs/kestrome-nightly.xml "${CMAKE_BINARY_DIR}/kestrome-nightly-crlf.xml" COPYONLY)
  file(READ "${CMAKE_BINARY_DIR}/kestrome-nightly-crlf.xml" nightly)
  string(REPLACE "encoding=\"UTF-8\"" "encoding=\"UTF-16\"" nightly "${nightly}")
  file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/kestrome-nightly-crlf.xml" CONTENT "${nightly}" @ONLY NEWLINE_STYLE CRLF)
  find_program(ICONV_PROGRAM iconv REQUIRED)
  set(KESTROME_NIGHTLY_XML "${CMAKE_BINARY_DIR}/package/kestrome-nightly.xml")
  add_custom_command(OUTPUT "${KESTROME_NIGHTLY_XML}"
                     COMMAND sh -c "printf '\\377\\376' > \"$1\" && \"$0\" -f UTF-8 -t UTF-16LE \"$2\" >> \"$1\""
                             "${ICONV_PROGRAM}" "${KESTROME_NIGHTLY_XML}" "${CMAKE_BINARY_DIR}/kestrome-nightly-crlf.xml"
                     DEPENDS "${CMAKE_BINARY_DIR}/kestrome-nightly-crlf.xml" VERBATIM)
  add_custom_target(kestrome_nightly_task ALL DEPENDS "${KESTROME_NIGHTLY_XML}")
  set(KESTROME_WINDOWS_DOCS "${CMAKE_BINARY_DIR}/package/README.txt" "${CMAKE_BINARY_DIR}/package/LICENSE.txt"
      "${CMAKE_BINARY_DIR}/package/CHANGELOG.txt" "${CMAKE_BINARY_DIR}/package/screenshot.png" "${KESTROME_GUIDE_HTML}"
      "${KESTROME_NIGHTLY_XML}")
  install(TARGETS Kestrome KestromeCli RUNTIME DESTINATION .)
  install(FILES ${KESTROME_WINDOWS_DOCS} DESTINATION .)
  set(CPACK_GENERATOR "ZIP")
  set(CPACK_PACKAGE_FILE_NAME "${KESTROME_WINDOWS_PACKAGE_NAME}")

  # The installer, beside the programs in the build folder: the programs stripped as the zip's are
  # (the same strip, the same default options), then makensis. /NOCD: the script's folder is not
  # made the current one; every path it reads is given whole.
  find_program(MAKENSIS_PROGRAM makensis REQUIRED)
  set(KESTROME_INSTALLER "${CMAKE_BINARY_DIR}/Kestrome-${PROJECT_VERSION}-setup.exe")
  set(stage "${CMAKE_BINARY_DIR}/package")
  add_custom_command(OUTPUT "${KESTROME_INSTALLER}"
                     COMMAND "${CMAKE_STRIP}" -o "${stage}/Kestrome.exe" "$<TARGET_FILE:Kestrome>"
                     COMMAND "${CMAKE_STRIP}" -o "${stage}/KestromeCli.exe" "$<TARGET_FILE:KestromeCli>"
                     COMMAND "${MAKENSIS_PROGRAM}" -V2 -NOCD "-DVERSION=${PROJECT_VERSION}" "-DSTAGE=${stage}"
                             "-DOUTFILE=${KESTROME_INSTALLER}" "${CMAKE_SOURCE_DIR}/packaging/installer.nsi"
                     DEPENDS Kestrome KestromeCli packaging/installer.nsi ${KESTROME_WINDOWS_DOCS}
                     VERBATIM)
  add_custom_target(kestrome_installer ALL DEPENDS "${KESTROME_INSTALLER}")
else()
  include(GNUInstallDirs)
  set(docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrome")
  # Debian's rule for manual pages and changelogs: gzip -9n, so no name or time goes into the
  # header. The package is native (its own upstream): its one changelog is changelog.gz, in
  # Debian's format, made from CHANGELOG.md.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  add_custom_command(OUTPUT kestrome.1.gz
                     COMMAND "${GZIP_PROGRAM}" -9n -c "${CMAKE_SOURCE_DIR}/docs/kestrome.1" > kestrome.1.gz
                     DEPENDS docs/kestrome.1 VERBATIM)
  add_custom_command(OUTPUT changelog.gz
                     COMMAND sh -c "\"$0\" \"$1\" \"$2\" | \"$3\" -9n > changelog.gz"
                             "${CMAKE_SOURCE_DIR}/packaging/debian-changelog" "${CMAKE_SOURCE_DIR}/CHANGELOG.md"
                             "${CPACK_PACKAGE_CONTACT}" "${GZIP_PROGRAM}"
                     DEPENDS CHANGELOG.md packaging/debian-changelog VERBATIM)
  add_custom_target(kestrome_manual ALL DEPENDS kestrome.1.gz changelog.gz)
  install(TARGETS kestrome RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  install(FILES "${CMAKE_BINARY_DIR}/kestrome.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  install(FILES packaging/copyright DESTINATION "${docdir}")
  install(FILES "${CMAKE_BINARY_DIR}/changelog.gz" docs/screenshot.png DESTINATION "${docdir}")
  install(FILES "${KESTROME_GUIDE_HTML}" DESTINATION "${docdir}" RENAME guide.html)
  # The static link is deliberate; the override says why (lintian reads it from here).
  install(FILES packaging/lintian-overrides DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides"
          RENAME kestrome)
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
