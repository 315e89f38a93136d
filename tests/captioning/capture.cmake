# Capture, conversion and session-controller tests.
sonorel_add_test(tst_audioformatconverter SOURCES tst_audioformatconverter.cpp LIBS sonorel_captioning)
