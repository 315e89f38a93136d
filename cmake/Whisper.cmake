# whisper.cpp and ggml as one target, sonorel_whisper: the build that scripts/install-whisper makes in its
# private prefix, or else a system package of whisper.cpp 1.9.1 or later.
# The prefix follows the script's: -DSONOREL_WHISPER_PREFIX, else $SONOREL_WHISPER_PREFIX, else its default.
if(NOT SONOREL_WHISPER_PREFIX)
    if(DEFINED ENV{SONOREL_WHISPER_PREFIX})
        set(SONOREL_WHISPER_PREFIX "$ENV{SONOREL_WHISPER_PREFIX}")
    else()
        set(SONOREL_WHISPER_PREFIX "$ENV{HOME}/.local/lib/sonorel/whisper.cpp-1.9.1")
    endif()
endif()

# On the prefix path rather than in PATHS: whisper-config.cmake finds ggml with a bare find_package, which
# must land in the same prefix. No version in the request: upstream installs its version file under a
# name find_package does not read, so every versioned request fails; WHISPER_VERSION is checked instead.
list(APPEND CMAKE_PREFIX_PATH "${SONOREL_WHISPER_PREFIX}")
find_package(whisper CONFIG QUIET)
if(NOT whisper_FOUND)
    message(FATAL_ERROR "whisper.cpp was not found in ${SONOREL_WHISPER_PREFIX} nor in the system; "
        "run scripts/install-whisper")
endif()
if(WHISPER_VERSION VERSION_LESS 1.9.1 OR NOT WHISPER_VERSION MATCHES "^1\\.")
    message(FATAL_ERROR "whisper.cpp ${WHISPER_VERSION} in ${whisper_DIR} is not 1.x from 1.9.1 on; "
        "run scripts/install-whisper")
endif()

# Where the CPU backend's variants are, for ggml_backend_load_all_from_path. ggml-config.cmake (read by
# whisper-config.cmake) says where it installed them when it was told; otherwise they are in its bin folder.
set(sonorel_ggml_backend_candidates "${GGML_BACKEND_DIR}" "${GGML_LIB_DIR}/../bin" "${GGML_LIB_DIR}")
unset(sonorel_ggml_backend_dir)
foreach(dir IN LISTS sonorel_ggml_backend_candidates)
    if(NOT dir)
        continue()
    endif()
    file(GLOB sonorel_ggml_cpu_libs "${dir}/libggml-cpu*.so")
    if(sonorel_ggml_cpu_libs)
        get_filename_component(sonorel_ggml_backend_dir "${dir}" REALPATH)
        break()
    endif()
endforeach()
if(NOT sonorel_ggml_backend_dir)
    message(FATAL_ERROR "ggml's CPU backend (libggml-cpu*.so) was not found next to ${GGML_LIB_DIR}; "
        "run scripts/install-whisper")
endif()
set(SONOREL_GGML_BACKEND_DIR "${sonorel_ggml_backend_dir}" CACHE INTERNAL "Folder of ggml's CPU backend variants")
message(STATUS "whisper.cpp ${WHISPER_VERSION}: ${whisper_DIR}; ggml backends: ${SONOREL_GGML_BACKEND_DIR}")

# A system install carries this private build along (cmake/Packaging.cmake): libwhisper and ggml in a folder
# of Sonorel's own under the prefix, as Debian wants for libraries no other package uses, and the CPU
# variants in ggml/ under it, where WhisperModel::loadBackends() looks first. A system whisper.cpp stays
# where it is. The multiarch folder rather than lib/sonorel: CPack adds ldconfig calls to the package for
# any library whose folder's parent is lib, and ldconfig has nothing to do with a private folder.
if(CMAKE_LIBRARY_ARCHITECTURE)
    set(SONOREL_ENGINE_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/sonorel)
else()
    set(SONOREL_ENGINE_LIBDIR lib/sonorel)
endif()
get_filename_component(sonorel_whisper_prefix_real "${SONOREL_WHISPER_PREFIX}" REALPATH)
get_filename_component(sonorel_whisper_lib_real "${WHISPER_LIB_DIR}" REALPATH)
cmake_path(IS_PREFIX sonorel_whisper_prefix_real "${sonorel_whisper_lib_real}" NORMALIZE SONOREL_WHISPER_BUNDLED)

add_library(sonorel_whisper INTERFACE)
target_link_libraries(sonorel_whisper INTERFACE whisper)

# The model the install step makes is pinned there; the engine refuses a file with another hash.
file(STRINGS ${PROJECT_SOURCE_DIR}/scripts/install-whisper-model sonorel_model_pin REGEX "^q8_0_sha256=[0-9a-f]+$")
string(REGEX REPLACE "^q8_0_sha256=" "" SONOREL_WHISPER_MODEL_SHA256 "${sonorel_model_pin}")
if(NOT SONOREL_WHISPER_MODEL_SHA256 MATCHES "^[0-9a-f]+$")
    message(FATAL_ERROR "scripts/install-whisper-model has no q8_0_sha256 pin")
endif()

# Where the install step puts the model, for the tests that run it (their HOME is a private folder).
if(DEFINED ENV{XDG_DATA_HOME} AND NOT "$ENV{XDG_DATA_HOME}" STREQUAL "")
    set(SONOREL_WHISPER_MODEL_FILE "$ENV{XDG_DATA_HOME}/sonorel/models/whisper/ggml-base-q8_0.bin")
else()
    set(SONOREL_WHISPER_MODEL_FILE "$ENV{HOME}/.local/share/sonorel/models/whisper/ggml-base-q8_0.bin")
endif()
