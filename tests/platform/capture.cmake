# The private sound server of the test run: started before, and stopped after, the tests that need it.
set(SONOREL_SOUND_SERVER_DIR ${CMAKE_BINARY_DIR}/sound-server)
set(SONOREL_SOUND_SERVER_SCRIPT ${PROJECT_SOURCE_DIR}/scripts/test-sound-server)
add_test(NAME sound-server-start COMMAND ${SONOREL_SOUND_SERVER_SCRIPT} start ${SONOREL_SOUND_SERVER_DIR})
set_tests_properties(sound-server-start PROPERTIES FIXTURES_SETUP sound-server TIMEOUT 60)
add_test(NAME sound-server-stop COMMAND ${SONOREL_SOUND_SERVER_SCRIPT} stop ${SONOREL_SOUND_SERVER_DIR})
set_tests_properties(sound-server-stop PROPERTIES FIXTURES_CLEANUP sound-server TIMEOUT 60)
set(SONOREL_SOUND_SERVER_ENV "PULSE_SERVER=unix:${SONOREL_SOUND_SERVER_DIR}/pulse/native"
    "PULSE_RUNTIME_PATH=${SONOREL_SOUND_SERVER_DIR}/pulse" "SONOREL_SOUND_SERVER_SCRIPT=${SONOREL_SOUND_SERVER_SCRIPT}")
set(SONOREL_SOUND_SERVER_ENV ${SONOREL_SOUND_SERVER_ENV} PARENT_SCOPE) # for the caption tool's test

# Tests that play into, or record from, the shared null sink take turns.
sonorel_add_test(test_pulse_audio_capture SOURCES PulseAudioCaptureTest.cpp
    LIBS sonorel_platform sonorel_settings sonorel_test_support
    ENVIRONMENT ${SONOREL_SOUND_SERVER_ENV} FIXTURES sound-server TIMEOUT 300)
set_tests_properties(test_pulse_audio_capture PROPERTIES RESOURCE_LOCK sound-server)

# End to end: played speech through PulseAudio and PocketSphinx into the controller's caption text.
sonorel_add_test(test_captioning_pipeline SOURCES CaptioningPipelineTest.cpp
    LIBS sonorel_platform sonorel_settings sonorel_test_support
    ENVIRONMENT ${SONOREL_SOUND_SERVER_ENV} FIXTURES sound-server TIMEOUT 900)
set_tests_properties(test_captioning_pipeline PROPERTIES RESOURCE_LOCK sound-server)
