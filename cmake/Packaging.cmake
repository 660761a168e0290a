# What gets installed, and the packages CPack makes of it: a .deb on Linux,
# portable ZIPs and a per-user NSIS installer on Windows.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME trennwick)
set(CPACK_PACKAGE_VENDOR "Trennwick")
# The maintainers of the project, as its commits name them.
set(CPACK_PACKAGE_CONTACT "Seed 20315c83 maintainers <maintainers@users.noreply.c-seed-20315c83.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Boots a CD/DVD image in a virtual machine")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Trennwick)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Trennwick)
set(CPACK_PACKAGE_EXECUTABLES trennwick Trennwick)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Portable: the programs side by side at the top, the template goes beside them.
  install(TARGETS trennwick trennwick-player RUNTIME DESTINATION .)
  install(FILES packaging/windows/LIESMICH.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP NSIS)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(trennwick_windows_arch win64)
    set(CPACK_NSIS_DEFINES "Target amd64-unicode")
  else()
    set(trennwick_windows_arch win32)
    set(CPACK_NSIS_DEFINES "Target x86-unicode")
  endif()
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${trennwick_windows_arch})
  set(CPACK_NSIS_PACKAGE_NAME Trennwick)
  set(CPACK_NSIS_DISPLAY_NAME "Trennwick ${PROJECT_VERSION}")
  set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/packaging/icons/trennwick.ico)
  set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/packaging/icons/trennwick.ico)
  set(CPACK_NSIS_MUI_WELCOMEFINISHPAGE_BITMAP ${PROJECT_SOURCE_DIR}/packaging/icons/trennwick-wizard.bmp)
  # Our template installs per user (see there).
  list(PREPEND CMAKE_MODULE_PATH ${PROJECT_SOURCE_DIR}/packaging/nsis)
else()
  install(TARGETS trennwick trennwick-player RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The desktop opens .vmx files with the player where nothing else does,
  # and offers it for appliances.
  install(FILES player/desktop/trennwick-vmx.xml player/desktop/trennwick-appliance.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
  install(FILES player/desktop/trennwick-player.desktop packaging/linux/trennwick.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  # The player shows the same icon under its own name, which its windows
  # and its .desktop file ask the theme for.
  foreach(icon trennwick trennwick-player)
    install(FILES packaging/icons/trennwick.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME ${icon}.svg)
    foreach(size 48 128)
      install(FILES packaging/icons/trennwick-${size}.png
              DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME ${icon}.png)
    endforeach()
  endforeach()
  configure_file(packaging/linux/de.trennwick.Trennwick.metainfo.xml.in
                 ${PROJECT_BINARY_DIR}/packaging/de.trennwick.Trennwick.metainfo.xml @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/de.trennwick.Trennwick.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

  # Debian's policy: manual pages and the changelog compressed with
  # gzip -9n (no name or time inside, so that builds are reproducible), the
  # copyright in its machine-readable form. The pages are German, as the
  # programs are, and lie where man finds them without a German locale.
  set(compressed)
  foreach(page trennwick.1 trennwick-player.1 changelog)
    if(page STREQUAL changelog)
      set(source ${PROJECT_SOURCE_DIR}/packaging/linux/changelog)
    else()
      set(source ${PROJECT_SOURCE_DIR}/packaging/linux/man/${page})
    endif()
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/${page}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${PROJECT_BINARY_DIR}/packaging/${page}
      COMMAND gzip -9 -n -f ${PROJECT_BINARY_DIR}/packaging/${page}
      DEPENDS ${source} VERBATIM)
    list(APPEND compressed ${PROJECT_BINARY_DIR}/packaging/${page}.gz)
  endforeach()
  add_custom_target(compressed_documents ALL DEPENDS ${compressed})
  install(FILES ${PROJECT_BINARY_DIR}/packaging/trennwick.1.gz ${PROJECT_BINARY_DIR}/packaging/trennwick-player.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/linux/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/trennwick)

  # dpkg's triggers of shared-mime-info, desktop-file-utils and the icon
  # cache pick up the files above; no maintainer scripts of our own.
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Without the MIME database the player never becomes the .vmx handler.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "shared-mime-info")
  # The player needs QEMU (and OVMF for UEFI, swtpm for a TPM), but a
  # VMware Player does the job as well. libslirp, linked for the NAT, comes
  # through SHLIBDEPS.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qemu-system-x86, qemu-system-gui, ovmf, swtpm, desktop-file-utils")
  # CPack puts the summary above these lines and indents them.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Trennwick asks for an ISO image, writes a throw-away VMware configuration\nfor it and opens it with the desktop's program for .vmx files. Where no\nVMware Player is installed, trennwick-player boots it with QEMU.")
endif()

include(CPack)
