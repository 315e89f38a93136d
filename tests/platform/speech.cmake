# The PocketSphinx engine on Debian's en-US model and the LibriVox recordings of pocketsphinx-testdata.
sonorel_add_test(tst_pocketsphinxengine SOURCES PocketSphinxEngineTest.cpp
    LIBS sonorel_platform sonorel_cli TIMEOUT 600)
