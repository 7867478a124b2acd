# Installation and packages.
#   cmake --install build                      # bin/QBupdate and man1/QBupdate.1.gz under the prefix
#   cpack --config build/CPackConfig.cmake     # Linux: a Debian package; MinGW build: a .zip
#   cmake --build build-win --target msi       # MinGW build: the Windows installer (.msi)
# Each package gets a .sha256 file beside it.
include(GNUInstallDirs)

set(QB_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

set(CPACK_PACKAGE_VENDOR "QBupdate developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "loads firmware and boot-area images into QuibbleBox network devices")

if(WIN32)
  # The zip unpacks to one folder holding the program and its guide. The guide gets CR LF line
  # ends: Notepad before Windows 10 1809 shows a file with LF alone as one long line.
  # strip writes the time it runs into the program's PE header unless SOURCE_DATE_EPOCH says
  # otherwise; with the build's time there, the zip and the installer hold the same bytes.
  string(TIMESTAMP QB_CONFIGURE_EPOCH "%s" UTC)
  install(CODE "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${QB_CONFIGURE_EPOCH})
endif()")
  install(TARGETS QBupdate RUNTIME DESTINATION .)
  configure_file(${QB_PACKAGING_DIR}/README-windows.txt ${CMAKE_CURRENT_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)

  # The application manifest and the version resource, from the project's version. The manifest
  # (doc/windows.md tells why each entry): asInvoker, longPathAware, and the one supportedOS
  # entry that Windows 10 and Windows 11 share.
  enable_language(RC)
  set(QB_FILE_DESCRIPTION "QuibbleBox firmware and boot-area updater")
  set(QB_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/QBupdate.exe.manifest)
  configure_file(${QB_PACKAGING_DIR}/QBupdate.exe.manifest.in ${QB_MANIFEST} @ONLY)
  configure_file(${QB_PACKAGING_DIR}/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/version.rc @ONLY)
  target_sources(QBupdate PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/version.rc)
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/version.rc PROPERTIES
                              OBJECT_DEPENDS ${QB_MANIFEST})
else()
  install(TARGETS QBupdate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Manual pages are installed compressed, as man(1) and Debian expect.
  find_program(QB_GZIP gzip)
  if(QB_GZIP)
    set(QB_MANPAGE ${CMAKE_CURRENT_BINARY_DIR}/QBupdate.1.gz)
    add_custom_command(
      OUTPUT ${QB_MANPAGE}
      COMMAND ${QB_GZIP} -9n -c ${QB_PACKAGING_DIR}/QBupdate.1 > ${QB_MANPAGE}
      DEPENDS ${QB_PACKAGING_DIR}/QBupdate.1
      COMMENT "Compressing the manual page")
    add_custom_target(qb_manpage ALL DEPENDS ${QB_MANPAGE})
  else()
    set(QB_MANPAGE ${QB_PACKAGING_DIR}/QBupdate.1)
  endif()
  install(FILES ${QB_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME QBupdate)
set(CPACK_PACKAGE_CONTACT "QBupdate developers <qbupdate@example.com>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME QBupdate-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  # The installer holds the same stripped files as the zip (packaging/msi.cmake tells how).
  set(QB_MSI ${CMAKE_CURRENT_BINARY_DIR}/QBupdate-${PROJECT_VERSION}-windows-x64.msi)
  add_custom_target(msi
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_CURRENT_BINARY_DIR} -DVERSION=${PROJECT_VERSION}
            -DOUTPUT=${QB_MSI} -P ${QB_PACKAGING_DIR}/msi.cmake
    DEPENDS QBupdate
    COMMENT "Building the Windows installer ${QB_MSI}")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME qbupdate)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_PACKAGE_DESCRIPTION
      "QBupdate wakes a QuibbleBox on the local Ethernet segment, answers its BOOTP \
request and serves it an image over TFTP. The package grants the program the capability \
to bind UDP ports 9, 67 and 69, so that it runs without sudo.")
  # setcap comes from libcap2-bin; libcrypto (the image's SHA-256) from libssl3, libssl3t64
  # since Debian 13; the C and C++ runtimes are found by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, libssl3 | libssl3t64")
  find_program(QB_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(QB_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
  set(QB_INSTALLED_BINARY ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/QBupdate)
  configure_file(${QB_PACKAGING_DIR}/postinst.in ${CMAKE_CURRENT_BINARY_DIR}/debian/postinst
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/postinst)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
