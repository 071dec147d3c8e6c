# What gets installed, and the packages CPack makes of it:
#   windows tree: cpack -G ZIP  -> the host, nimbra-register.exe and README.md;
#                 the person installing runs nimbra-register install, which
#                 writes the manifests beside the host and registers them.
#                 packaging/windows/make-msi.sh makes the per-user and the
#                 per-machine installer of the same installed files.
#   native tree:  cpack -G DEB  -> the host and nimbra-register in
#                 /usr/lib/nimbra, a link /usr/bin/nimbra-register, and the
#                 system-wide manifests of the five Chromium-family browsers
#                 in /etc and Firefox's in /usr/lib/mozilla.
# Both go to <build tree>/packages.

set(CPACK_PACKAGE_NAME "velisto-nimbra-host")
set(CPACK_PACKAGE_VENDOR "Velisto")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Velisto Download Manager browser connector")
set(CPACK_PACKAGE_CONTACT "Velisto packaging <packages@velisto.example>")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Flat: the registration tool finds the host beside itself.
  install(TARGETS nimbra-native-host nimbra-register RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win64")
  # Signed like the installer's copies when a certificate is given.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/sign-staged.cmake)
else()
  set(NIMBRA_INSTALL_DIR lib/nimbra)
  install(TARGETS nimbra-native-host nimbra-register RUNTIME DESTINATION ${NIMBRA_INSTALL_DIR})
  install(FILES README.md DESTINATION share/doc/${CPACK_PACKAGE_NAME})

  # The manifests come from the tool itself, so the package cannot drift from
  # what `nimbra-register install --system` writes. They are written under
  # DESTDIR and name the host where it ends up on the installed system; a
  # plain `cmake --install` without DESTDIR writes the real /etc ones.
  # The link in bin lets the tool be run by name; it still finds the host
  # because it resolves its own path.
  install(CODE "
    set(nimbra_root \"\$ENV{DESTDIR}\")
    if(nimbra_root STREQUAL \"\" AND CMAKE_INSTALL_PREFIX MATCHES \"/_CPack_Packages/\")
      message(FATAL_ERROR \"packaging without DESTDIR would write the real /etc\")
    endif()
    set(nimbra_args install --system --host \"\${CMAKE_INSTALL_PREFIX}/${NIMBRA_INSTALL_DIR}/nimbra-native-host\")
    if(NOT nimbra_root STREQUAL \"\")
      list(APPEND nimbra_args --root \"\${nimbra_root}\")
    endif()
    execute_process(COMMAND \"$<TARGET_FILE:nimbra-register>\" \${nimbra_args} RESULT_VARIABLE nimbra_result)
    if(NOT nimbra_result EQUAL 0)
      message(FATAL_ERROR \"nimbra-register could not write the system-wide manifests\")
    endif()
    file(MAKE_DIRECTORY \"\${nimbra_root}\${CMAKE_INSTALL_PREFIX}/bin\")
    file(CREATE_LINK ../${NIMBRA_INSTALL_DIR}/nimbra-register
         \"\${nimbra_root}\${CMAKE_INSTALL_PREFIX}/bin/nimbra-register\" SYMBOLIC)
  ")

  set(CPACK_GENERATOR DEB)
  # The DEB generator then stages with DESTDIR and keeps /etc absolute.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION web)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Both programs are linked statically: no shared library to depend on.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
         "The native messaging host through which the Velisto Download Manager\n"
         "browser extension hands downloads to the desktop application. Installs\n"
         "the host and registers it system-wide for Google Chrome, Chromium,\n"
         "Microsoft Edge, Brave, Vivaldi and Firefox.")

  # Files in /etc are the administrator's: dpkg keeps changes to them on
  # upgrade, and removes them on purge. Firefox's manifest lives under /usr,
  # which is the package's alone, so it is a plain file.
  set(nimbra_conffiles "")
  foreach(folder /etc/opt/chrome /etc/chromium /etc/opt/edge /etc/opt/brave /etc/opt/vivaldi)
    string(APPEND nimbra_conffiles "${folder}/native-messaging-hosts/com.velisto.nimbra.json\n")
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "${nimbra_conffiles}")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
