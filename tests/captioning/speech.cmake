# Speech recognition manager tests, on a scriptable engine.
sonorel_add_test(test_speech_recognition_manager SOURCES SpeechRecognitionManagerTest.cpp
    LIBS sonorel_captioning sonorel_test_support)
