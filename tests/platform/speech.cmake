# The PocketSphinx engine on Debian's en-US model and the LibriVox recordings of pocketsphinx-testdata.
sonorel_add_test(test_pocket_sphinx_engine SOURCES PocketSphinxEngineTest.cpp
    LIBS sonorel_platform sonorel_cli sonorel_test_support TIMEOUT 600)
# The Whisper engine on the quantized model the install step makes, with PocketSphinx to fall back on.
sonorel_add_test(test_whisper_engine SOURCES WhisperEngineTest.cpp
    LIBS sonorel_platform sonorel_test_support TIMEOUT 600
    ENVIRONMENT "SONOREL_WHISPER_MODEL=${SONOREL_WHISPER_MODEL_FILE}")
