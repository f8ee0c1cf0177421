# Installing and packaging: `cmake --install` lays the programs, their data,
# the development keys, the desktop entry, icons, AppStream metadata and man
# pages out under a prefix (GNUInstallDirs); CPack makes the Debian package
# (scripts/package.sh). The portable bundle (build/bundle/) is unaffected.
include(GNUInstallDirs)

# Installing builds only what it installs (scripts/package.sh builds those
# targets), not the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(_data ${PROJECT_SOURCE_DIR}/data)
set(_share ${CMAKE_INSTALL_DATADIR}/corvane)

# Icons: the drawing (SVG) and PNGs rendered from it at the theme's sizes.
find_program(CORVANE_RSVG_CONVERT rsvg-convert REQUIRED)
set(CORVANE_ICON_SIZES 16 22 24 32 48 64 128 256)
set(_icon_pngs)
foreach(_size ${CORVANE_ICON_SIZES})
  set(_png ${CMAKE_BINARY_DIR}/icons/${_size}x${_size}/apps/corvane.png)
  add_custom_command(
    OUTPUT ${_png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${_size}x${_size}/apps
    COMMAND ${CORVANE_RSVG_CONVERT} -w ${_size} -h ${_size} -o ${_png} ${_data}/icons/corvane.svg
    DEPENDS ${_data}/icons/corvane.svg
    VERBATIM)
  list(APPEND _icon_pngs ${_png})
endforeach()
add_custom_target(corvane_icons ALL DEPENDS ${_icon_pngs})

install(TARGETS Corvane corvane-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The project's development keys (data/keys/, the same in every build; public,
# so readable by every user of the machine), and the sample package.
foreach(_key platform testkey)
  install(FILES ${_data}/keys/${_key}.x509.pem ${_data}/keys/${_key}.pk8
          DESTINATION ${_share}/keys PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
install(DIRECTORY ${CORVANE_BUNDLE_DIR}/samples/ DESTINATION ${_share}/samples)

install(FILES ${_data}/corvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_data}/corvane.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        RENAME io.github.corvane.Corvane.metainfo.xml)
install(FILES ${_data}/icons/corvane.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(DIRECTORY ${CMAKE_BINARY_DIR}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor
        FILES_MATCHING PATTERN "*.png")
# Man pages, installed compressed as Debian's policy asks (gzip -9n: no name
# or time stamp, so the same page gives the same bytes).
file(GLOB _man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.1)
set(_man_gz)
foreach(_page ${_man_pages})
  get_filename_component(_name ${_page} NAME)
  set(_gz ${CMAKE_BINARY_DIR}/man/${_name}.gz)
  add_custom_command(
    OUTPUT ${_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2.tmp\" && mv \"$2.tmp\" \"$2\"" _ ${_page} ${_gz}
    DEPENDS ${_page}
    VERBATIM)
  list(APPEND _man_gz ${_gz})
endforeach()
add_custom_target(corvane_man ALL DEPENDS ${_man_gz})
install(FILES ${_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Debian package: build/corvane_<version>_<arch>.deb. Its library
# dependencies come from the programs (dpkg-shlibdeps); the tools and the Qt
# platform plugins they load at run time are named.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Corvane developers <corvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "edit and re-sign Android set-top box update packages")
set(CPACK_PACKAGE_DESCRIPTION
    "Corvane opens the update package of an Android set-top box (a ZIP file), edits its\n\
applications, images and configuration files, and saves it signed with the test key.\n\
corvane-cli makes the same edits from the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# e2fsprogs: e2fsck checks a partition image before it is trusted.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, e2fsprogs")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_STRIP_FILES ON)
include(CPack)
