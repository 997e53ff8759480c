# The four programs land side by side in one folder, in the build tree and when installed,
# so that a program that starts another finds it beside itself.
set(TARVOLIN_PROGRAM_DIR ${CMAKE_BINARY_DIR}/bin)

function(tarvolin_program target)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TARVOLIN_PROGRAM_DIR})
    target_link_libraries(${target} PRIVATE tarvolin_warnings)
    # The pictures of packaging/icons, as :/icons/<program>.png for the windows' icon.
    target_link_libraries(${target} PRIVATE window_icons)
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# A Qt Test suite registered with CTest. GUI suites run on the offscreen platform; each suite
# has a runtime directory of its own, so its DDE applications never meet those of another
# suite or of a program the user is running. The serial ports map to devices that do not
# exist, so no suite ever opens a real port; suites that need one map a pseudo-terminal.
function(tarvolin_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE tarvolin_warnings)
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBRARIES})
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TARVOLIN_PROGRAM_DIR=${TARVOLIN_PROGRAM_DIR};XDG_RUNTIME_DIR=${CMAKE_BINARY_DIR}/test-runtime/${name};KESTRIN_COM1=/nonexistent/kestrin-test-com1;KESTRIN_COM2=/nonexistent/kestrin-test-com2"
        TIMEOUT 600
        LABELS qttest)
endfunction()
