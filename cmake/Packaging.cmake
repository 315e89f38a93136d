# What a system install holds beyond the executables' own rules (the caption tool, AppStream metainfo,
# manual pages, copyright and changelog) and the Debian package made from it by CPack (`make deb`).
include(GNUInstallDirs)

# Dated by the last commit, so that packing the same tree twice gives the same files.
execute_process(COMMAND git log -1 --format=%cs
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE SONOREL_RELEASE_DATE
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
execute_process(COMMAND git log -1 --format=%cD
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE SONOREL_RELEASE_STAMP
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT SONOREL_RELEASE_DATE OR NOT SONOREL_RELEASE_STAMP)
    string(TIMESTAMP SONOREL_RELEASE_DATE "%Y-%m-%d" UTC)
    string(TIMESTAMP SONOREL_RELEASE_STAMP "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()
set(SONOREL_APPSTREAM_ID app.sonorel.Sonorel)
set(SONOREL_MAINTAINER "Ambrite <feedback@sonorel.app>")

set(pack_dir ${PROJECT_BINARY_DIR}/package)
configure_file(${PROJECT_SOURCE_DIR}/resources/${SONOREL_APPSTREAM_ID}.metainfo.xml.in
    ${pack_dir}/${SONOREL_APPSTREAM_ID}.metainfo.xml @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/resources/copyright ${pack_dir}/copyright COPYONLY)
file(WRITE ${pack_dir}/changelog.in "sonorel (@PROJECT_VERSION@) unstable; urgency=medium\n\n"
    "  * Release @PROJECT_VERSION@, build @SONOREL_BUILD_NUMBER@.\n\n -- @SONOREL_MAINTAINER@  @SONOREL_RELEASE_STAMP@\n")
configure_file(${pack_dir}/changelog.in ${pack_dir}/changelog @ONLY)

# Debian wants manual pages and the changelog compressed, without a name or time stamp in the header.
set(compressed "")
foreach(page sonorel.1 sonorel-captions.1)
    configure_file(${PROJECT_SOURCE_DIR}/resources/man/${page}.in ${pack_dir}/${page} @ONLY)
    list(APPEND compressed ${pack_dir}/${page}.gz)
endforeach()
list(APPEND compressed ${pack_dir}/changelog.gz)
foreach(file ${compressed})
    string(REGEX REPLACE "\\.gz$" "" plain ${file})
    add_custom_command(OUTPUT ${file} COMMAND gzip -9nkf ${plain} DEPENDS ${plain} VERBATIM)
endforeach()
add_custom_target(sonorel_package_files ALL DEPENDS ${compressed})

# Debian's hardening in optimised builds that are not sanitized: fortified C library calls, and every symbol
# bound at start so that the relocations can be made read-only.
if(NOT SONOREL_SANITIZE AND NOT SONOREL_TSAN)
    set(optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
    target_compile_definitions(sonorel_common INTERFACE $<${optimised}:_FORTIFY_SOURCE=2>)
    target_link_options(sonorel_common INTERFACE $<${optimised}:LINKER:-z,relro,-z,now>)
endif()

install(TARGETS sonorel-captions RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${pack_dir}/${SONOREL_APPSTREAM_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${pack_dir}/sonorel.1.gz ${pack_dir}/sonorel-captions.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${pack_dir}/copyright ${pack_dir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/sonorel)

# The speech engine with the programs, when it is the install step's private build (cmake/Whisper.cmake):
# libwhisper and ggml in lib/<multiarch>/sonorel, found through the programs' RUNPATH, and ggml's CPU
# variants, which ggml opens by path, in ggml/ below it. The Sapphire Rapids variant never goes: its AMX
# kernels crash.
if(SONOREL_WHISPER_BUNDLED)
    set(engine_dir ${SONOREL_ENGINE_LIBDIR})
    unset(engine_libs)
    foreach(soname libwhisper.so.1 libggml.so.0 libggml-base.so.0)
        file(GLOB found "${WHISPER_LIB_DIR}/${soname}*")
        if(NOT found)
            message(FATAL_ERROR "${soname} is not in ${WHISPER_LIB_DIR}; run scripts/install-whisper")
        endif()
        list(APPEND engine_libs ${found})
    endforeach()
    file(GLOB engine_variants "${SONOREL_GGML_BACKEND_DIR}/libggml-cpu-*.so")
    list(FILTER engine_variants EXCLUDE REGEX "sapphirerapids")
    # Libraries are not programs: Debian wants them without the executable bit.
    set(library_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    install(FILES ${engine_libs} DESTINATION ${engine_dir} PERMISSIONS ${library_permissions})
    install(FILES ${engine_variants} DESTINATION ${engine_dir}/ggml PERMISSIONS ${library_permissions})
    # Their RUNPATH and stripping are set once installed (cmake/InstallEngine.cmake).
    unset(engine_lib_names)
    foreach(lib IN LISTS engine_libs)
        if(NOT IS_SYMLINK ${lib})
            get_filename_component(name ${lib} NAME)
            list(APPEND engine_lib_names ${name})
        endif()
    endforeach()
    unset(engine_variant_names)
    foreach(lib IN LISTS engine_variants)
        get_filename_component(name ${lib} NAME)
        list(APPEND engine_variant_names ${name})
    endforeach()
    install(CODE "set(sonorel_engine_dir \"${engine_dir}\")
        set(sonorel_engine_libs \"${engine_lib_names}\")
        set(sonorel_engine_variants \"${engine_variant_names}\")
        set(sonorel_strip \"${CMAKE_STRIP}\")")
    install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/InstallEngine.cmake)
    set_target_properties(sonorel sonorel-captions PROPERTIES INSTALL_RPATH "$ORIGIN/../${engine_dir}")
endif()

# The files a desktop reads, checked offline: metainfo, desktop entry, manual pages against --help.
if(SONOREL_BUILD_TESTS)
    add_test(NAME test_desktop_files COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package/desktop_files.sh
        ${pack_dir} ${PROJECT_SOURCE_DIR}/resources/sonorel.desktop $<TARGET_FILE:sonorel-captions>)
    set_tests_properties(test_desktop_files PROPERTIES TIMEOUT 60
        ENVIRONMENT "LSAN_OPTIONS=suppressions=${SONOREL_LSAN_SUPPRESSIONS}:print_suppressions=0")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sonorel)
set(CPACK_PACKAGE_VENDOR Ambrite)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live captions of whatever the computer is playing")
# Debian shows the description as it is: lines under 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Sonorel sits in the system tray, captures what the computer plays (never the"
    "microphone), recognises the speech on the device and shows the running"
    "transcription in a translucent overlay that floats above the other windows."
    "It can caption all system sound, one application or an input device."
    ""
    "It has two speech engines: Whisper, the accurate one, which writes capitals"
    "and punctuation (whisper.cpp is in this package, the model in"
    "sonorel-model-whisper-base), and PocketSphinx, the light one, also used when"
    "the Whisper model is missing."
    ""
    "sonorel-captions prints the same captions in a terminal, live or from a WAV"
    "file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SONOREL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://sonorel.app)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries come from dpkg-shlibdeps (libqt6gui6 with the xcb plug-in and libqt6svg6 with the SVG icon
# plug-in among them); these are loaded by path at run time: the US English speech model, the caption font
# and the word list for capitals.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The engine's own libraries, relative to the packed tree: found there, they add nothing to Depends, while
# what they link (libgomp1 among them) does.
if(SONOREL_WHISPER_BUNDLED)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ".${CPACK_PACKAGING_INSTALL_PREFIX}/${SONOREL_ENGINE_LIBDIR}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pocketsphinx-en-us, fonts-inter, wamerican")
# qt6-wayland: on a Wayland desktop without XWayland, the windows open on Wayland itself.
# sonorel-model-whisper-base (scripts/make-deb): without it the Whisper engine has no model and captions
# come from PocketSphinx.
# xdg-utils: xdg-open, through which Show Folder, Send Feedback and the Follow links reach the desktop's file
# manager, mail program and browser; without it they only show the folder or address.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "pipewire-pulse | pulseaudio, qt6-wayland, sonorel-model-whisper-base, xdg-utils")
# CPack packs without library dependencies, and says so in passing, when dpkg-shlibdeps is missing.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/PackagingChecks.cmake)
include(CPack)
