# The sound front end and the utterance segmenter: pure logic, fed made-up signals.
sonorel_add_test(test_sound_front_end SOURCES SoundFrontEndTest.cpp LIBS sonorel_captioning)
sonorel_add_test(test_utterance_segmenter SOURCES UtteranceSegmenterTest.cpp LIBS sonorel_captioning)
