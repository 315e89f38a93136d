# Speech recognition: the manager on a scriptable engine, the shared recognition loop on decoders that only
# measure loudness, and the caption sentence rules on Debian's English word list.
sonorel_add_test(test_speech_recognition SOURCES SpeechRecognitionTest.cpp LIBS sonorel_captioning sonorel_test_support)
