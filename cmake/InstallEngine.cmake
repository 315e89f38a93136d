# Run at install time after the engine's files are copied (cmake/Packaging.cmake), with sonorel_engine_dir,
# sonorel_engine_libs, sonorel_engine_variants and sonorel_strip set. The private build's RUNPATH
# ($ORIGIN/../lib) points beside its own lib folder; installed, the libraries are next to each other and
# the variants one folder below them. Stripped like the programs when CPack packs (Debian refuses symbols).
set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${sonorel_engine_dir}")
set(files "")
foreach(name IN LISTS sonorel_engine_libs)
    file(RPATH_SET FILE "${dir}/${name}" NEW_RPATH "$ORIGIN")
    list(APPEND files "${dir}/${name}")
endforeach()
foreach(name IN LISTS sonorel_engine_variants)
    file(RPATH_SET FILE "${dir}/ggml/${name}" NEW_RPATH "$ORIGIN/..")
    list(APPEND files "${dir}/ggml/${name}")
endforeach()
if(CMAKE_INSTALL_DO_STRIP AND sonorel_strip)
    execute_process(COMMAND "${sonorel_strip}" --strip-unneeded ${files} COMMAND_ERROR_IS_FATAL ANY)
endif()
