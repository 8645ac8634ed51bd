include(GoogleTest)

# quillmere_add_test(<name> SOURCES <files...> LIBS <targets...>)
# One GoogleTest executable whose cases CTest runs one by one, so `ctest -j`
# spreads them over the cores.
function(quillmere_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE quillmere_test_support ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests")
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 30
        PROPERTIES TIMEOUT 120
        # The discovered tests' properties cannot carry a list (the second entry of
        # ENVIRONMENT would be read as a property name), so each variable has its own.
        ENVIRONMENT "QUILLMERE_BUILD_DIR=${CMAKE_BINARY_DIR}"
        ENVIRONMENT_MODIFICATION "QUILLMERE_SOURCE_DIR=set:${CMAKE_SOURCE_DIR}")
endfunction()
