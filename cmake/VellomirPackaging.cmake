# The Debian package: `cpack` in the build folder makes vellomir_<version>_<arch>.deb with
# everything `cmake --install` puts in place, below /usr. Its dependencies are found from the
# libraries the programs link (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellomir)
set(CPACK_PACKAGE_VENDOR "Example Works")
set(CPACK_PACKAGE_CONTACT "Vellomir developers <developers@example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "${PROJECT_HOMEPAGE_URL}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "repairs damaged OpenDocument spreadsheets")
set(CPACK_PACKAGE_DESCRIPTION [=[
Vellomir gets damaged OpenDocument spreadsheets (.ods) back. It finds the
members of the zip container by their local headers, without trusting the
container's index, salvages every member that can still be read, and saves
them in a fresh container as REC_ followed by the name, never overwriting
anything. It comes as a desktop program (vellomir) and as a command for
scripts (vellomir-repair).]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Help, folders and the home page are opened with the desktop's own handlers.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)
