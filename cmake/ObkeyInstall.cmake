# What a Linux developer installs: the library with a versioned SONAME, the
# public headers, obkey.pc and a CMake package; the software token's
# libraries in a private folder beside it, found through $ORIGIN; the
# READMEs. obkeyctl and its manual page are installed by their own folder. `make package` makes a Debian package of the same tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(OBKEY_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/obkey)

# obkey finds the token libraries in lib/obkey; the enrollment stand-in finds
# the token library beside itself; obkeyctl finds obkey in ../lib.
set_target_properties(obkey PROPERTIES INSTALL_RPATH "$ORIGIN/obkey")
set_target_properties(VeltaNxoEnrollApi PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(obkeyctl PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS obkey EXPORT obkeyTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# In the export set only because obkey links them; clients never name them.
install(TARGETS xcsp_eclib KeyOperation VeltaNxoEnrollApi EXPORT obkeyTargets
  LIBRARY DESTINATION ${OBKEY_PRIVATE_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/obkey/obkey.h ${PROJECT_SOURCE_DIR}/include/obkey/obkey_types.h
              ${OBKEY_GENERATED_INCLUDE}/obkey_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/obkey)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/softtoken/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME README-softtoken.md)
install(FILES ${PROJECT_SOURCE_DIR}/enrollsim/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME README-enrollment.md)
# The token libraries over a PKCS #11 module, under the same names: beside
# obkey (or named with obkeyctl --token-library) in place of the software
# token's.
install(TARGETS p11token_xcsp_eclib p11token_KeyOperation
  LIBRARY DESTINATION ${OBKEY_PRIVATE_LIBDIR}/p11token)
install(FILES ${PROJECT_SOURCE_DIR}/p11token/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME README-p11token.md)

# The header says <obkey/obkey.h>; the imported target adds the include root.
target_include_directories(obkey INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# obkey.pc names the prefix the tree is installed to, known only at install
# time (cmake --install --prefix, or the package's /usr): pkg-config then
# prints plain paths, where a path relative to the .pc file would show as
# /usr/lib/pkgconfig/../../include.
set(OBKEY_PC_PREFIX "@OBKEY_PC_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/obkey.pc.in ${CMAKE_BINARY_DIR}/obkey.pc.in @ONLY)
install(CODE "
  set(OBKEY_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_BINARY_DIR}/obkey.pc.in\" \"${CMAKE_BINARY_DIR}/pc/obkey.pc\" @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/pc/obkey.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(OBKEY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/obkey)
install(EXPORT obkeyTargets NAMESPACE obkey:: DESTINATION ${OBKEY_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/obkeyConfig.cmake.in
  ${CMAKE_BINARY_DIR}/obkeyConfig.cmake INSTALL_DESTINATION ${OBKEY_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/obkeyConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/obkeyConfig.cmake ${CMAKE_BINARY_DIR}/obkeyConfigVersion.cmake
  DESTINATION ${OBKEY_CMAKE_DIR})

# What Debian asks of every package: the copyright file and the changelog
# (compressed as dpkg-deb would, without a time stamp) in its doc folder.
install(FILES ${PROJECT_SOURCE_DIR}/dist/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
obkey_gzip(${PROJECT_SOURCE_DIR}/dist/debian/changelog ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME obkey)
set(CPACK_PACKAGE_VENDOR "the obkey developers")
set(CPACK_PACKAGE_CONTACT "obkey developers <developers@obkey.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "token middleware library, its software token and obkeyctl")
set(CPACK_PACKAGE_DESCRIPTION
    "obkey is a token middleware library: certificate-enrollment and signing
programs call its 45 functions to log in to a crypto token, make RSA key
pairs on it, sign, encrypt and decrypt, keep certificates and small
labelled files, and make certificate requests. The package holds
libobkey.so with its headers, pkg-config file and CMake package; a
persistent software token and the token library over any PKCS #11 module,
in a private folder; and obkeyctl, the command-line client.")
# A shared library in the loader's path: a shlibs file for the packages built
# against it, and the ldconfig trigger that updates the loader's cache (CPack's
# own shlibs option would add maintainer scripts that call ldconfig instead).
file(WRITE ${CMAKE_BINARY_DIR}/debian-control/shlibs
     "libobkey ${PROJECT_VERSION_MAJOR} obkey (>= ${PROJECT_VERSION})\n")
file(WRITE ${CMAKE_BINARY_DIR}/debian-control/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian-control/shlibs
                                       ${CMAKE_BINARY_DIR}/debian-control/triggers)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Named by hand: the private token libraries keep dpkg-shlibdeps from
# resolving the tree by itself.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libssl3 (>= 3.0.0), libxml2 (>= 2.9.0)")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
