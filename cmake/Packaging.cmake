# Install rules and the two packages built from them with CPack:
#   Linux:   cpack -G DEB  -> tillerbrook_<version>_<arch>.deb, program folder /opt/tillerbrook
#   Windows: cpack -G NSIS -> a setup program (from the MinGW build, makensis from Debian)
# The daemon keeps everything beside its executable, so both packages install
# one flat program folder.

# One version for the daemon and its packages: the text /version reports.
file(STRINGS ${CMAKE_SOURCE_DIR}/src/base/app_version.h TB_VERSION_LINE
     REGEX "kAppVersion = \"v[0-9]+\\.[0-9]+\\.[0-9]+\"")
if(NOT TB_VERSION_LINE MATCHES "v([0-9]+)\\.([0-9]+)\\.([0-9]+)")
  message(FATAL_ERROR "Packaging: no version found in src/base/app_version.h")
endif()
set(CPACK_PACKAGE_VERSION_MAJOR ${CMAKE_MATCH_1})
set(CPACK_PACKAGE_VERSION_MINOR ${CMAKE_MATCH_2})
set(CPACK_PACKAGE_VERSION_PATCH ${CMAKE_MATCH_3})
set(CPACK_PACKAGE_VERSION "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")

set(CPACK_PACKAGE_NAME tillerbrook)
set(CPACK_PACKAGE_VENDOR Tillerbrook)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local label-print daemon (HTTP on port 3806)")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Tillerbrook)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Tillerbrook)
set(CPACK_PACKAGE_CONTACT "Tillerbrook maintainers <maintainers@tillerbrook.example>")
set(CPACK_STRIP_FILES ON)
# Texts (NSIS script lines with $ and quotes) reach CPack exactly as written.
set(CPACK_VERBATIM_VARIABLES ON)
set(TB_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

if(TB_WINDOWS)
  set(TB_PROGRAM_DIR .)
  install(TARGETS tillerbrook RUNTIME DESTINATION ${TB_PROGRAM_DIR})
  install(FILES ${CMAKE_SOURCE_DIR}/assets/test.html DESTINATION ${TB_PROGRAM_DIR})
  # The PDF library is shipped when the build put one beside the executable.
  install(FILES $<TARGET_FILE_DIR:tillerbrook>/pdfium.dll DESTINATION ${TB_PROGRAM_DIR} OPTIONAL)

  set(CPACK_GENERATOR NSIS)
  set(CPACK_NSIS_PACKAGE_NAME Tillerbrook)
  set(CPACK_NSIS_DISPLAY_NAME Tillerbrook)
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_INSTALLED_ICON_NAME Tillerbrook.exe)
  set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
  set(CPACK_NSIS_UNINSTALL_NAME Uninstall)
  set(CPACK_NSIS_FINISH_TITLE "Tillerbrook is installed")
  file(READ ${TB_PACKAGING_DIR}/nsis/defines.nsh TB_NSIS_DEFINES)
  file(READ ${TB_PACKAGING_DIR}/nsis/preinstall.nsh CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS)
  file(READ ${TB_PACKAGING_DIR}/nsis/install.nsh CPACK_NSIS_EXTRA_INSTALL_COMMANDS)
  file(READ ${TB_PACKAGING_DIR}/nsis/uninstall.nsh CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS)
  # A 64-bit setup program: the daemon is 64-bit, and so are the folder and
  # the registry view it installs into.
  set(CPACK_NSIS_DEFINES "Target amd64-unicode\n${TB_NSIS_DEFINES}")
else()
  set(TB_PROGRAM_DIR opt/tillerbrook)
  set(TB_DOC_DIR usr/share/doc/tillerbrook)
  install(TARGETS tillerbrook tillerbrook_print RUNTIME DESTINATION ${TB_PROGRAM_DIR})
  install(TARGETS tb_pdfium LIBRARY DESTINATION ${TB_PROGRAM_DIR}
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  install(FILES ${CMAKE_SOURCE_DIR}/assets/test.html DESTINATION ${TB_PROGRAM_DIR})

  # Debian wants the copyright and a compressed changelog (no time stamp in the
  # gzip header, so the package is reproducible).
  set(TB_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${TB_CHANGELOG_GZ}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND sh -c "gzip -9nc '${TB_PACKAGING_DIR}/debian/changelog' > '${TB_CHANGELOG_GZ}'"
    DEPENDS ${TB_PACKAGING_DIR}/debian/changelog
    VERBATIM)
  add_custom_target(tb_package_docs ALL DEPENDS ${TB_CHANGELOG_GZ})
  install(FILES ${TB_PACKAGING_DIR}/debian/copyright ${TB_CHANGELOG_GZ} DESTINATION ${TB_DOC_DIR})
  install(FILES ${TB_PACKAGING_DIR}/debian/lintian-overrides
          DESTINATION usr/share/lintian/overrides RENAME tillerbrook)
  # A daemon that runs as root and answers the network resolves its symbols at
  # start and keeps its relocations read-only.
  foreach(target tillerbrook tillerbrook_print tb_pdfium)
    target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now)
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The maintainer scripts drive the unit through deb-systemd-invoke.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.52)")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS cups)
  # CPack puts the summary first and indents these lines as Debian wants.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Client software on a workstation talks to the daemon over HTTP on port
3806: it prints label documents given as a local path or as base64 text
on a named printer through CUPS, lists printers and jobs, keeps client
printer mappings and a print history, and can rescale a PDF to the
printer's printable area.

The program folder is /opt/tillerbrook; the daemon runs as the systemd
unit Orv_Tillerbrook.service.")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${TB_PACKAGING_DIR}/debian/postinst
      ${TB_PACKAGING_DIR}/debian/prerm
      ${TB_PACKAGING_DIR}/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
