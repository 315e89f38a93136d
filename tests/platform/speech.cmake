# The PocketSphinx engine on Debian's en-US model and the LibriVox recordings of pocketsphinx-testdata.
sonorel_add_test(test_pocket_sphinx_engine SOURCES PocketSphinxEngineTest.cpp
    LIBS sonorel_platform sonorel_cli sonorel_test_support TIMEOUT 600)
