# Installing on Linux, and the Debian package (tools/package.sh).
#
# A plain `cmake --install` puts the program under the prefix (/usr/local by
# default) as any desktop tool: bin/, share/applications, the icon, the AppStream metadata and
# the man page. The Debian package (ZELVOR_PACKAGE=ON, see tools/package.sh) keeps the program in
# /opt/zelvor-upload, whose folder is where the file dialog starts, with a link in /usr/bin.
option(ZELVOR_PACKAGE "Install as the Debian package lays it out" OFF)
include(GNUInstallDirs)
if(ZELVOR_PACKAGE)
    set(CMAKE_INSTALL_PREFIX "/usr" CACHE PATH "Install prefix" FORCE)
    set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
    set(CPACK_SET_DESTDIR ON) # for the absolute /opt destination
    install(TARGETS zelvor-upload RUNTIME DESTINATION /opt/zelvor-upload)
    install(FILES packaging/sample.DNL DESTINATION /opt/zelvor-upload)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/usr-bin)
    file(CREATE_LINK /opt/zelvor-upload/zelvor-upload ${CMAKE_BINARY_DIR}/usr-bin/zelvor-upload
         SYMBOLIC)
    install(FILES ${CMAKE_BINARY_DIR}/usr-bin/zelvor-upload DESTINATION bin)
    install(FILES packaging/lintian-overrides DESTINATION share/lintian/overrides
            RENAME zelvor-upload)
else()
    install(TARGETS zelvor-upload RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES packaging/sample.DNL DESTINATION ${CMAKE_INSTALL_DATADIR}/zelvor-upload)
endif()
install(FILES packaging/zelvor-upload.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/zelvor-upload.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES packaging/org.zelvor.upload.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The man page and the changelog go compressed; the copyright file carries the licence.
find_program(GZIP gzip REQUIRED)
foreach(doc zelvor-upload.1 changelog)
    add_custom_command(OUTPUT ${doc}.gz
        COMMAND ${GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${doc} > ${doc}.gz
        DEPENDS packaging/${doc})
endforeach()
add_custom_target(compressed-docs ALL DEPENDS zelvor-upload.1.gz changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/zelvor-upload.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
file(READ LICENSE licence)
string(REGEX REPLACE "\n\n" "\n .\n " licence " ${licence}")
string(REGEX REPLACE "\n([^ ])" "\n \\1" licence "${licence}")
file(WRITE ${CMAKE_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: zelvor-upload

Files: *
Copyright: 2026 The zelvor-upload developers
License: MIT
${licence}")
if(ZELVOR_PACKAGE)
    install(FILES ${CMAKE_BINARY_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelvor-upload)
set(CPACK_PACKAGE_VENDOR "The zelvor-upload developers")
set(CPACK_PACKAGE_FILE_NAME "zelvor-upload_${PROJECT_VERSION}_amd64")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"send an application file to a Zelvor device over a serial port
Zelvor Upload sends a download file (*.DNL) to a Zelvor device over a
built-in serial port or a USB serial adapter, one line at a time, at
115 200 baud 7N2 with RTS/CTS handshaking, paced by the port so that a
slow device is never flooded. A bar shows the share sent and the time
left; an upload counts as done only once the device has every character.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
    "The zelvor-upload developers <zelvor-upload@users.noreply.github.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded as plugins, so not found by dpkg-shlibdeps: the window systems and the SVG icon engine.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-wayland, libqt6svg6")
include(CPack)
