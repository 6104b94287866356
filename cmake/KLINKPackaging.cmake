# The Debian package: `cpack -G DEB` in a build folder (scripts/package.sh
# builds the release preset and checks the package). It holds what the
# install rules install: klinkplay, klinksim, klinkdev with its menu entry and
# icons, and the demo tunes.
set(CPACK_PACKAGE_NAME klinkdev)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KLINKdev")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Plays VGM/VGZ chip music on sound chips on Keltra boards")
set(CPACK_PACKAGE_DESCRIPTION
    "KLINKdev plays VGM/VGZ chip-music files on real sound chips on Keltra boards, reached over a serial\n\
port with the KLINK protocol. It comes as a window (klinkdev), a command-line player (klinkplay) and a\n\
simulated board (klinksim), so that everything can be tried without hardware.")
set(CPACK_PACKAGE_CONTACT "KLINKdev maintainers <klinkdev@localhost>")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the programs link come from dpkg-shlibdeps; Qt's
# platform plugins are loaded at run time, so the window names them itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(KLINK_BUILD_GUI)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
  # The window's Japanese captions.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
endif()

include(CPack)
