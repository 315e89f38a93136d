# Settings every target of ours shares: the language standard, warnings and Qt's string safety.
add_library(sonorel_common INTERFACE)
target_compile_features(sonorel_common INTERFACE cxx_std_20)
target_compile_options(sonorel_common INTERFACE -Wall -Wextra -Wpedantic $<$<BOOL:${SONOREL_WERROR}>:-Werror>)
target_compile_definitions(sonorel_common INTERFACE QT_NO_CAST_FROM_ASCII QT_NO_KEYWORDS)
