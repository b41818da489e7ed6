# Installed files beyond the programs, and the Debian packages of `make package`:
#   velmora      velmora, velmora-cli, the udev rule, menu entry, icon, AppStream data, man pages,
#                the user guide and the licences, the systemd user unit of velmora-cli keep
#   velmora-sim  velmora-camsim, the camera simulator (a test tool, not for every user)
# Every install() rule without a COMPONENT belongs to velmora (CMAKE_INSTALL_DEFAULT_COMPONENT_NAME,
# set before the source folders); the simulator's rules name the component "sim".
include(GNUInstallDirs)

set(VELMORA_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/velmora)
set(VELMORA_SIM_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/velmora-sim)

# Man pages and the changelog are installed compressed, as Debian keeps them.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(velmora_gz_files)
function(velmora_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${GZIP_EXECUTABLE} -9n -c ${source} > ${output}
    DEPENDS ${source} VERBATIM)
  set(velmora_gz_files ${velmora_gz_files} ${output} PARENT_SCOPE)
endfunction()
set(gz_dir ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${gz_dir})
foreach(page velmora velmora-cli velmora-camsim)
  velmora_gzip(${CMAKE_SOURCE_DIR}/packaging/man/${page}.1 ${gz_dir}/${page}.1.gz)
endforeach()
velmora_gzip(${CMAKE_SOURCE_DIR}/packaging/changelog ${gz_dir}/changelog.gz)
add_custom_target(velmora_compressed_docs ALL DEPENDS ${velmora_gz_files})

set(man1 ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${gz_dir}/velmora-cli.1.gz DESTINATION ${man1} COMPONENT main)
install(FILES ${gz_dir}/velmora-camsim.1.gz DESTINATION ${man1} COMPONENT sim)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/packaging/copyright ${gz_dir}/changelog.gz
        ${CMAKE_SOURCE_DIR}/docs/user-guide.md ${CMAKE_SOURCE_DIR}/docs/third-party.md
        ${CMAKE_SOURCE_DIR}/docs/keep.md
        DESTINATION ${VELMORA_DOC_DIR} COMPONENT main)
# The systemd user unit of velmora-cli keep (it runs /usr/bin/velmora-cli: packages install to /usr).
install(FILES ${CMAKE_SOURCE_DIR}/packaging/velmora-keep.service DESTINATION lib/systemd/user COMPONENT main)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/images DESTINATION ${VELMORA_DOC_DIR} COMPONENT main
        FILES_MATCHING PATTERN "*.png")
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${gz_dir}/changelog.gz
        DESTINATION ${VELMORA_SIM_DOC_DIR} COMPONENT sim)
if(VELMORA_BUILD_UI)
  install(FILES ${gz_dir}/velmora.1.gz DESTINATION ${man1} COMPONENT main)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/io.github.velmora.velmora.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT main)
endif()

# CPack: one .deb per component, binaries stripped (no debug package), dependencies from the
# shared libraries the binaries link (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora developers")
set(CPACK_PACKAGE_CONTACT "Velmora developers <velmora@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL main sim)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_MAIN_PACKAGE_NAME velmora)
set(CPACK_DEBIAN_MAIN_PACKAGE_SECTION video)
set(CPACK_COMPONENT_MAIN_DESCRIPTION "tune and maintain USB and network video cameras
Velmora finds video cameras on the USB bus (HID) and on the LAN, shows live
video in up to four panes, reads and changes every image parameter, saves a
camera's parameters to a file and loads them into another, restores factory
defaults, drives zoom, focus and presets, and upgrades many USB cameras at
once. velmora-cli offers the same operations for scripts and production lines.")
# Qt's own Chinese texts (file choosers, standard buttons) for the windows under Chinese.
set(CPACK_DEBIAN_MAIN_PACKAGE_RECOMMENDS qt6-translations-l10n)
set(CPACK_DEBIAN_MAIN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/deb/postinst)
set(CPACK_DEBIAN_MAIN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SIM_PACKAGE_NAME velmora-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_SIM_DESCRIPTION "camera simulator for Velmora
velmora-camsim serves simulated USB (HID) and network cameras on Unix sockets
and loopback addresses, with fault injection, so that Velmora and velmora-cli
can be tried and tested without a camera.")

include(CPack)
