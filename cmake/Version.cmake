# The suite's version is project(VERSION) alone: the About box, the packages, the manual pages
# and the AppStream file take it from the build. Two files must carry it as text for tools that
# read them without CMake: the Debian changelog's newest entry and the test kit's pyproject.toml
# (pip). A release that forgets one of them fails here, at configure time.
function(tarvolin_expect_version file pattern)
    file(READ ${PROJECT_SOURCE_DIR}/${file} text)
    if(NOT text MATCHES "${pattern}")
        message(FATAL_ERROR "${file} does not carry the project's version ${PROJECT_VERSION}: update it with project(VERSION)")
    endif()
endfunction()

string(REPLACE "." "\\." version_pattern ${PROJECT_VERSION})
tarvolin_expect_version(packaging/changelog "^tarvolin \\(${version_pattern}\\) ")
tarvolin_expect_version(testkit/pyproject.toml "\nversion = \"${version_pattern}\"\n")
