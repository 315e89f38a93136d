# Conversion and session-controller tests.
sonorel_add_test(test_audio_format_converter SOURCES AudioFormatConverterTest.cpp LIBS sonorel_captioning)
sonorel_add_test(test_caption_view_model SOURCES CaptionViewModelTest.cpp
    LIBS sonorel_captioning sonorel_settings sonorel_test_support)
