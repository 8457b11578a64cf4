# Installation and packaging: the program, its desktop entry, icon, AppStream
# metadata and manual page, and a Debian package built with CPack.
# Only the stemloft target has install rules; the tests and the benchmarks
# stay in the build folder.

include(GNUInstallDirs)

set(STEMLOFT_APP_ID org.stemloft.Stemloft)
set(STEMLOFT_DATA_DIR ${PROJECT_SOURCE_DIR}/data)

# The bundle's Info.plist and icon are made on every system, so that the
# install test can check them where no Mac is at hand.
configure_file(${STEMLOFT_DATA_DIR}/Info.plist.in ${PROJECT_BINARY_DIR}/Info.plist @ONLY)
include(${CMAKE_CURRENT_LIST_DIR}/MacIcon.cmake)
if(APPLE)
  # A bundle: stemloft.app/Contents/MacOS/stemloft, with Resources/Stemloft.icns.
  # CMake configures the generated Info.plist once more, which leaves it unchanged.
  set_target_properties(stemloft PROPERTIES
    MACOSX_BUNDLE ON
    MACOSX_BUNDLE_INFO_PLIST ${PROJECT_BINARY_DIR}/Info.plist)
  if(STEMLOFT_ICNS)
    target_sources(stemloft PRIVATE ${STEMLOFT_ICNS})
    set_source_files_properties(${STEMLOFT_ICNS} PROPERTIES MACOSX_PACKAGE_LOCATION Resources)
  endif()
endif()

install(TARGETS stemloft
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  BUNDLE DESTINATION .)

if(UNIX AND NOT APPLE)
  install(FILES ${STEMLOFT_DATA_DIR}/${STEMLOFT_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${STEMLOFT_DATA_DIR}/${STEMLOFT_APP_ID}.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES ${STEMLOFT_DATA_DIR}/${STEMLOFT_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

  # The page names the project's version. Debian wants it and the changelog
  # gzipped; -n keeps the name and time out of the header, so the same text
  # always gives the same bytes.
  configure_file(${STEMLOFT_DATA_DIR}/stemloft.1.in ${PROJECT_BINARY_DIR}/stemloft.1 @ONLY)
  find_program(STEMLOFT_GZIP gzip)
  set(STEMLOFT_MAN_PAGE ${PROJECT_BINARY_DIR}/stemloft.1)
  set(STEMLOFT_CHANGELOG ${STEMLOFT_DATA_DIR}/changelog)
  if(STEMLOFT_GZIP)
    foreach(kind MAN_PAGE CHANGELOG)
      get_filename_component(name ${STEMLOFT_${kind}} NAME)
      set(zipped ${PROJECT_BINARY_DIR}/gz/${name}.gz)
      add_custom_command(OUTPUT ${zipped}
        COMMAND ${CMAKE_COMMAND} -E copy ${STEMLOFT_${kind}} ${PROJECT_BINARY_DIR}/gz/${name}
        COMMAND ${STEMLOFT_GZIP} -n -9 -f ${PROJECT_BINARY_DIR}/gz/${name}
        DEPENDS ${STEMLOFT_${kind}}
        COMMENT "Compressing ${name}"
        VERBATIM)
      set(STEMLOFT_${kind} ${zipped})
    endforeach()
    add_custom_target(stemloft_gzipped ALL DEPENDS ${STEMLOFT_MAN_PAGE} ${STEMLOFT_CHANGELOG})
  endif()
  install(FILES ${STEMLOFT_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # Debian's names: the copyright in its machine-readable format, and the
  # changelog of a native package.
  install(FILES ${STEMLOFT_DATA_DIR}/copyright ${STEMLOFT_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/stemloft)

  # A stripped program still carries the compiler's notes (.comment, .note);
  # Debian's packages leave them out.
  if(CMAKE_OBJCOPY)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/stemloft\")
      endif()")
  endif()
endif()

# Packages: cpack -G DEB in the build folder gives stemloft_<version>_<arch>.deb.
set(CPACK_PACKAGE_NAME stemloft)
set(CPACK_PACKAGE_VENDOR Stemloft)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_HOMEPAGE_URL https://stemloft.org)
set(CPACK_PACKAGE_CONTACT "Stemloft <team@stemloft.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download audio and split it into instrument stems")
set(CPACK_PACKAGE_DESCRIPTION
  "Stemloft fetches the audio track of a video page with yt-dlp and splits it,
or any audio or movie file, into 4 or 6 instrument stems (vocals, drums, bass,
guitar, piano, other) with the Demucs models, saved as AAC, FLAC or 24-bit WAV
files. It has a window and a command line. Demucs and PyTorch are installed on
request into a Python environment in the user's data folder.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Stemloft)
# The program is built with debugging information; the package need not carry it.
set(CPACK_STRIP_FILES ON)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  if(NOT CPACK_GENERATOR)
    set(CPACK_GENERATOR DEB)
  endif()
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Stemloft <team@stemloft.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://stemloft.org)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The Qt and C++ libraries come from dpkg-shlibdeps; the outside tools the app
# runs are named here: ffmpeg converts audio, curl and unzip fetch yt-dlp and
# Deno (tar, essential, unpacks uv), gpgv checks the signature of yt-dlp's
# checksums. Debian's yt-dlp is a fallback only; the app installs a current
# one itself. python3-venv is only recommended: where the distribution's
# Python is too new for PyTorch, uv brings a Python 3.12 of the app's own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ffmpeg, curl, unzip, gpgv")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "yt-dlp, python3-venv")

include(CPack)
