# The audio on its way to a decoder, and the session controller.
sonorel_add_test(test_audio_path SOURCES AudioPathTest.cpp LIBS sonorel_captioning)
sonorel_add_test(test_caption_view_model SOURCES CaptionViewModelTest.cpp
    LIBS sonorel_captioning sonorel_settings sonorel_test_support)
