# tarnhall_add_test(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>] [LABELS <labels...>]
#                   [NETNS])
# Builds one Qt Test executable and registers it with CTest. Each test runs in its own
# build directory so that the "../conf" and "../log" paths it derives stay private. Its main is
# TARNHALL_TEST_MAIN (testmain.h), never QTest's own: that one lets threading warnings pass.
function(tarnhall_add_test name)
    cmake_parse_arguments(T "NETNS" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    foreach(source ${T_SOURCES})
        get_filename_component(path ${source} ABSOLUTE)
        if(path MATCHES "\\.cpp$")
            file(STRINGS ${path} qtestMain REGEX "^QTEST_[A-Z_]*MAIN")
            if(qtestMain)
                message(FATAL_ERROR "${source}: use TARNHALL_TEST_MAIN of testmain.h")
            endif()
        endif()
    endforeach()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt5::Test testsuitemain ${T_LIBS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${name}/bin)
    # NETNS: in a network namespace of its own (root), whose addresses and routes it may set.
    set(command ${name})
    if(T_NETNS)
        set(command unshare -n $<TARGET_FILE:${name}>)
    endif()
    add_test(NAME ${name} COMMAND ${command} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TARNHALL_BINARY_DIR=${CMAKE_BINARY_DIR};TARNHALL_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()
