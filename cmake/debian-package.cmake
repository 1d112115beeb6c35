# The Debian package scripts/package.sh makes with cpack (tarvenox_VERSION_ARCH.deb): the
# install rules' files under /usr, its dependencies worked out by dpkg-shlibdeps from the
# libraries the program links to (libvorbisfile, which brings libvorbis and libogg).
set(TARVENOX_MAINTAINER
    "Tarvenox maintainers <maintainers@users.noreply.c-seed-ead29df1.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvenox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "converter of song projects, tunes and instrument files to older generations")
# The extended description as the control file has it: lines of less than 80 columns.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tarvenox writes song projects (.qxprj), tunes (.qxtune) and instrument files\n"
    "(.qxi) in an older generation of their format, so that a song made with a\n"
    "newer editor opens in older editors and players, and converts Standard MIDI\n"
    "Files in and out. Whatever the target cannot hold is downgraded: materials\n"
    "are rendered or decoded to PCM and event kinds the target lacks are dropped,\n"
    "with a line for each loss. It asks for the target in a dialogue, or converts\n"
    "many files at once from the command line.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TARVENOX_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
