# The login entry in a private XDG_CONFIG_HOME, checked with desktop-file-validate and started with gio.
sonorel_add_test(test_xdg_autostart SOURCES XdgAutostartTest.cpp LIBS sonorel_platform sonorel_settings sonorel_test_support)
