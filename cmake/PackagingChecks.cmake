# Read by cpack before it packs. Without dpkg-shlibdeps CPack would pack anyway, with no library in Depends:
# a package that installs and then does not start.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
    cmake_policy(PUSH)
    cmake_policy(SET CMP0109 NEW) # a program must be executable, not merely readable
    find_program(sonorel_shlibdeps dpkg-shlibdeps NO_CACHE)
    cmake_policy(POP)
    set(sonorel_shlibdeps_status 1)
    if(sonorel_shlibdeps)
        execute_process(COMMAND ${sonorel_shlibdeps} --version
            RESULT_VARIABLE sonorel_shlibdeps_status OUTPUT_QUIET ERROR_QUIET)
    endif()
    if(NOT sonorel_shlibdeps_status EQUAL 0)
        message(FATAL_ERROR "dpkg-shlibdeps is missing or does not run: it computes the package's Depends from the "
            "libraries that the programs link. Install dpkg-dev (scripts/install-deps package does).")
    endif()
endif()
