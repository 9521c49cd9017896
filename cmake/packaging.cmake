# Installing Kestrova as a Debian program: `make deb` (cpack -G DEB) builds a package with the
# command, the desktop window and the generator of `kestrova demo` (the last two in
# /usr/lib/kestrova, where `kestrova` finds them), the menu entry with the kestrova: link
# scheme, the icon, the AppStream metainfo, the man pages, bash completion and the systemd
# user unit. The dependencies are read from the linked libraries by dpkg-shlibdeps.
include(GNUInstallDirs)

set(KESTROVA_PRIVATE_BIN_DIR ${CMAKE_INSTALL_LIBDIR}/kestrova)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  # Debian's private program folder is /usr/lib/<package>, not the multiarch one.
  set(KESTROVA_PRIVATE_BIN_DIR lib/kestrova)
endif()

install(TARGETS kestrova RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kestrova-generate-db RUNTIME DESTINATION ${KESTROVA_PRIVATE_BIN_DIR})
if(TARGET kestrova-window)
  install(TARGETS kestrova-window RUNTIME DESTINATION ${KESTROVA_PRIVATE_BIN_DIR})
endif()

install(FILES ${CMAKE_SOURCE_DIR}/data/kestrova.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/data/icons/kestrova.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
string(TIMESTAMP KESTROVA_RELEASE_DATE "%Y-%m-%d" UTC)
configure_file(${CMAKE_SOURCE_DIR}/data/org.kestrova.Kestrova.metainfo.xml.in
  ${CMAKE_BINARY_DIR}/package/org.kestrova.Kestrova.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/org.kestrova.Kestrova.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_SOURCE_DIR}/data/kestrova.service DESTINATION lib/systemd/user)
install(FILES ${CMAKE_SOURCE_DIR}/tools/kestrova.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kestrova)
# The man pages the build made, compressed as Debian wants them.
install(CODE "
  file(GLOB pages \"${CMAKE_BINARY_DIR}/kestrova*.1\" \"${CMAKE_BINARY_DIR}/man/*.1\")
  set(man1 \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man1\")
  file(MAKE_DIRECTORY \"\${man1}\")
  foreach(page \${pages})
    get_filename_component(name \"\${page}\" NAME)
    execute_process(COMMAND gzip -9n -c \"\${page}\" OUTPUT_FILE \"\${man1}/\${name}.gz\")
  endforeach()")

# What Debian asks of every package's documentation folder: the copyright and a compressed
# changelog.
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/kestrova)
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_BINARY_DIR}/package/changelog
  "kestrova (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Built from source.\n\n"
  " -- Kestrova developers <dev@kestrova.org>  ${changelog_date}\n")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz
  COMMAND gzip -9nf -k ${CMAKE_BINARY_DIR}/package/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/package/changelog VERBATIM)
add_custom_target(kestrova_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz
  ${CMAKE_SOURCE_DIR}/data/copyright DESTINATION ${doc_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrova)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kestrova developers <dev@kestrova.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mail client for several accounts, with AI help")
set(CPACK_PACKAGE_DESCRIPTION
  "Kestrova keeps a local copy of every account's folders and messages, talks IMAP\n\
and SMTP to the mail servers, and adds rules, junk filtering, follow-up queues,\n\
action items, privacy and safety checks, and AI summaries, tags, priorities,\n\
translation and questions. A tool server lets an AI agent work with the mail\n\
through the Model Context Protocol.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kestrova.org")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Opened at run time, so dpkg-shlibdeps cannot see them: libcurl (the HTTP client of the AI
# services and the sign-in), the platform plugins without which the window cannot show, and
# the libraries opened on first use.
set(opened_at_run_time libcurl3-gnutls qt6-qpa-plugins)
# The libraries the program opens on first use (cmake/lazy_libraries.cmake) are not linked
# either: their packages are named from the files the build read them from.
foreach(name IN LISTS KESTROVA_LAZY_NAMES)
  execute_process(COMMAND dpkg-query -S ${KESTROVA_LAZY_${name}_FILE}
    OUTPUT_VARIABLE owner ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE "[:,].*$" "" package "${owner}")
  if(package)
    list(APPEND opened_at_run_time ${package})
  endif()
endforeach()
list(REMOVE_DUPLICATES opened_at_run_time)
list(JOIN opened_at_run_time ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# Found at run time rather than linked: the keyring behind the Secret Service, the SASL
# mechanisms of the mail libraries, and Qt's own texts in Chinese (the standard buttons of the
# window's dialogs).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "gnome-keyring | kwalletmanager, libsasl2-modules, qt6-translations-l10n")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
