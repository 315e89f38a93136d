# Speech recognition manager tests, on a scriptable engine.
sonorel_add_test(test_speech_recognition_manager SOURCES SpeechRecognitionManagerTest.cpp
    LIBS sonorel_captioning sonorel_test_support)
# Caption sentence rules, on Debian's English word list.
sonorel_add_test(test_sentence_style SOURCES SentenceStyleTest.cpp LIBS sonorel_captioning)
# The shared recognition loop, on decoders that only measure loudness.
sonorel_add_test(test_segmented_recognition_task SOURCES SegmentedRecognitionTaskTest.cpp
    LIBS sonorel_captioning sonorel_platform sonorel_test_support)
