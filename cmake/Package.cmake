# The Debian package of qor-native: everything `cmake --install` installs, with its version from
# project() and its library dependencies found by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME "qor-native")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "qor-native maintainers")
set(CPACK_PACKAGE_CONTACT "qor-native maintainers <maintainers@qor.dev>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "bridge that lets an AI assistant work in desktop applications safely")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Found at run time rather than linked: the accessibility bus that exposes other applications'
# controls, and the image loader that renders SVG application icons.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "at-spi2-core, librsvg2-common")
# The long description; CPack puts the summary above it as the synopsis and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "qor-native is a windowless bridge that a controlling application starts as a
child process. It reads one JSON request per line on standard input and writes
one JSON response per line on standard output: list, launch and focus
applications, observe a window's accessibility tree, act on it with clicks,
keys and typed text, and capture it as a PNG image. It stops rather than
guesses: input goes only to a window observed shortly before, stops when the
user takes over, and passwords are never typed.")

include(CPack)
