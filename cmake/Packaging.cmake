# The Debian packages of the suite, made from one build by `cpack -G DEB` in the build folder
# (scripts/package.sh): tarvolin, the programs with their menu entries, icons, manual pages and
# documents, and python3-kestrin-testkit, the test kit. Each install rule names the package it
# belongs to by its component; a rule that names none belongs to tarvolin.

set(TARVOLIN_PACKAGE tarvolin)
set(TARVOLIN_TESTKIT_PACKAGE python3-kestrin-testkit)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME tarvolin)
# Where the suite is published: the package's home page, and the web address of the screenshot
# that software centres show (AppStream accepts only web addresses there). The site is expected
# to serve the files of docs/ under docs/.
set(TARVOLIN_HOMEPAGE "https://tarvolin.example.org" CACHE STRING "Web address where the suite is published")
set(TARVOLIN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${TARVOLIN_PACKAGE})
set(TARVOLIN_TESTKIT_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${TARVOLIN_TESTKIT_PACKAGE})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TARVOLIN_PACKAGE})
set(CPACK_PACKAGE_CONTACT "Tarvolin maintainers <maintainers@tarvolin.example.org>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tarvolin testkit)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Both packages come from one source, and share its changelog.
set(CPACK_DEBIAN_PACKAGE_SOURCE ${TARVOLIN_PACKAGE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${TARVOLIN_HOMEPAGE})
# Maintainer scripts are root's and 0755, as dpkg expects them.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Each description is read here, not by CPack, which would escape its apostrophes for XML. Its
# first line is the package's summary.
file(READ ${PROJECT_SOURCE_DIR}/packaging/description CPACK_DEBIAN_TARVOLIN_DESCRIPTION)
file(READ ${PROJECT_SOURCE_DIR}/packaging/${TARVOLIN_TESTKIT_PACKAGE}/description CPACK_DEBIAN_TESTKIT_DESCRIPTION)

set(CPACK_DEBIAN_TARVOLIN_PACKAGE_NAME ${TARVOLIN_PACKAGE})
set(CPACK_DEBIAN_TARVOLIN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_TARVOLIN_PACKAGE_SHLIBDEPS ON)
# Qt loads its platform plugins at run time, out of the sight of dpkg-shlibdeps, and its
# libraries only recommend them: without them no window opens.
set(CPACK_DEBIAN_TARVOLIN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_TARVOLIN_PACKAGE_SUGGESTS "${TARVOLIN_TESTKIT_PACKAGE}")

# The kit drives the windowless instrument of the same release, which needs no desktop; the window,
# on request, runs on a private virtual display with a session bus and an accessibility bus of its own.
set(CPACK_DEBIAN_TESTKIT_PACKAGE_NAME ${TARVOLIN_TESTKIT_PACKAGE})
set(CPACK_DEBIAN_TESTKIT_PACKAGE_SECTION python)
set(CPACK_DEBIAN_TESTKIT_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_TESTKIT_PACKAGE_DEPENDS "${TARVOLIN_PACKAGE} (= ${PROJECT_VERSION}), python3 (>= 3.11)")
set(CPACK_DEBIAN_TESTKIT_PACKAGE_RECOMMENDS "python3-pyatspi, xvfb, dbus, at-spi2-core")
set(CPACK_DEBIAN_TESTKIT_PACKAGE_SUGGESTS "python3-pytest, python3-pyvisa-py, socat")
# Byte-compiled when installed and cleaned when removed, as Debian's own Python packages are.
set(CPACK_DEBIAN_TESTKIT_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/${TARVOLIN_TESTKIT_PACKAGE}/postinst
    ${PROJECT_SOURCE_DIR}/packaging/${TARVOLIN_TESTKIT_PACKAGE}/prerm)

# Debian ships programs without their debugging information, and without the sections that only
# name the compiler (strip as dh_strip calls it).
set(CPACK_STRIP_FILES ON)
set(CMAKE_STRIP ${PROJECT_SOURCE_DIR}/packaging/strip-for-debian)
# The folders of the packages are 0755 whatever the umask of the one who builds them.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

include(CPack)
