# Capture, conversion and session-controller tests.
sonorel_add_test(tst_audioformatconverter SOURCES tst_audioformatconverter.cpp LIBS sonorel_captioning)
sonorel_add_test(tst_captionviewmodel SOURCES tst_captionviewmodel.cpp
    LIBS sonorel_captioning sonorel_settings sonorel_test_support)
