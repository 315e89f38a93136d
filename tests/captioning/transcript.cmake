# The session transcript: saving it, keeping it on disk while captions run, and its faults.
sonorel_add_test(test_transcript SOURCES TranscriptTest.cpp LIBS sonorel_captioning sonorel_test_support)
