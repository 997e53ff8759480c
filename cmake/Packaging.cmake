# The Debian package of the suite, made by `cpack -G DEB` in the build folder (scripts/package.sh).
# What goes into it is whatever the install rules install, under /usr.

set(TARVOLIN_PACKAGE tarvolin)
# Where the suite is published: the package's home page, and the web address of the screenshot
# that software centres show (AppStream accepts only web addresses there). The site is expected
# to serve the files of docs/ under docs/.
set(TARVOLIN_HOMEPAGE "https://tarvolin.example.org" CACHE STRING "Web address where the suite is published")
set(TARVOLIN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${TARVOLIN_PACKAGE})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TARVOLIN_PACKAGE})
set(CPACK_PACKAGE_CONTACT "Tarvolin maintainers <maintainers@tarvolin.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "simulated laboratory instrument and its companion programs")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${PROJECT_SOURCE_DIR}/packaging/description)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${TARVOLIN_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its platform plugins at run time, out of the sight of dpkg-shlibdeps, and its
# libraries only recommend them: without them no window opens. The test kit's command is a
# Python script.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, python3")
# What else the test kit needs serves the tests of the instrument's clients, not the programs:
# recommended (apt installs it unless told not to), and named with its package when missing.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-pyatspi, xvfb, dbus, at-spi2-core")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-pytest")
# Debian ships programs without their debugging information.
set(CPACK_STRIP_FILES ON)
# The folders of the package are 0755 whatever the umask of the one who builds it.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

include(CPack)
