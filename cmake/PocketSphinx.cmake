# PocketSphinx and sphinxbase as one target. Debian's sphinxbase.pc names an include folder that does
# not exist, so only the folders that do are kept.
pkg_check_modules(POCKETSPHINX REQUIRED pocketsphinx sphinxbase)
set(POCKETSPHINX_EXISTING_INCLUDES "")
foreach(dir ${POCKETSPHINX_INCLUDE_DIRS})
    if(EXISTS ${dir})
        list(APPEND POCKETSPHINX_EXISTING_INCLUDES ${dir})
    endif()
endforeach()
add_library(sonorel_pocketsphinx INTERFACE)
target_include_directories(sonorel_pocketsphinx SYSTEM INTERFACE ${POCKETSPHINX_EXISTING_INCLUDES})
target_link_libraries(sonorel_pocketsphinx INTERFACE ${POCKETSPHINX_LIBRARIES})
