# Speech recognition manager tests, on a scriptable engine.
sonorel_add_test(tst_speechrecognitionmanager SOURCES SpeechRecognitionManagerTest.cpp
    LIBS sonorel_captioning sonorel_test_support)
