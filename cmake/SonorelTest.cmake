# sonorel_add_test(<name> SOURCES ... [LIBS ...] [ENVIRONMENT ...] [FIXTURES ...] [TIMEOUT s])
# Registers one Qt Test executable with CTest. Every test runs headless, with its own home, config and
# data folders under the build tree, so that no test reads or writes the user's files.
set(SONOREL_LSAN_SUPPRESSIONS ${CMAKE_CURRENT_LIST_DIR}/lsan.supp)
set(SONOREL_TSAN_SUPPRESSIONS ${CMAKE_CURRENT_LIST_DIR}/tsan.supp)

function(sonorel_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;ENVIRONMENT;FIXTURES" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test sonorel_common ${T_LIBS})
    add_test(NAME ${name} COMMAND ${name})
    set(home ${CMAKE_BINARY_DIR}/test-home/${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;HOME=${home};XDG_CONFIG_HOME=${home}/config;XDG_DATA_HOME=${home}/data;XDG_CACHE_HOME=${home}/cache;XDG_RUNTIME_DIR=${home}/run;ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;LSAN_OPTIONS=suppressions=${SONOREL_LSAN_SUPPRESSIONS}:print_suppressions=0;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1;TSAN_OPTIONS=suppressions=${SONOREL_TSAN_SUPPRESSIONS}:die_after_fork=0:second_deadlock_stack=1;${T_ENVIRONMENT}")
    if(T_FIXTURES)
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${T_FIXTURES}")
    endif()
    file(MAKE_DIRECTORY ${home}/config ${home}/data ${home}/cache)
    file(MAKE_DIRECTORY ${home}/run)
    file(CHMOD ${home}/run DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endfunction()
