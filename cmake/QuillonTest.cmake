# GoogleTest from Debian's source package, compiled by this tree's compiler,
# and quillon_add_test() which every test directory uses.

set(QUILLON_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest/GoogleMock sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${QUILLON_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# quillon_add_test(<name> SOURCES <files...> [LIBS <targets...>] [TIMEOUT <s>] [NO_MAIN]
#                  [WRAPPER <script>])
# One executable, one CTest entry. The binary writes its GoogleTest results to
# ${QUILLON_RESULTS_DIR}/<name>.xml, from which scripts/test counts passed and failed cases.
# In the Windows tree CTest runs it through the Wine wrapper (CMAKE_CROSSCOMPILING_EMULATOR).
# WRAPPER names a script that starts a service the test needs and then runs its arguments
# (e.g. tests/fixtures/with_account_server).
function(quillon_add_test name)
    cmake_parse_arguments(T "NO_MAIN" "TIMEOUT;WRAPPER" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_compile_options(${name} PRIVATE ${QUILLON_WARNINGS})
    if(T_NO_MAIN)
        target_link_libraries(${name} PRIVATE ${T_LIBS} gmock gtest)
    else()
        target_link_libraries(${name} PRIVATE ${T_LIBS} gmock gtest_main)
    endif()
    if(WIN32)
        set(out "Z:${QUILLON_RESULTS_DIR}/${name}.xml")
    else()
        set(out "${QUILLON_RESULTS_DIR}/${name}.xml")
    endif()
    if(T_WRAPPER)
        add_test(NAME ${name}
                 COMMAND ${T_WRAPPER} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}> --gtest_output=xml:${out}
                 WORKING_DIRECTORY $<TARGET_FILE_DIR:${name}>)
    else()
        add_test(NAME ${name} COMMAND ${name} --gtest_output=xml:${out}
                 WORKING_DIRECTORY $<TARGET_FILE_DIR:${name}>)
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()
