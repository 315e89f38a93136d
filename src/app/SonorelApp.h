#pragma once

#include "app/AppDelegate.h"

// The application: one tray icon whose menu is the command list, one AppDelegate for the life of the
// process, one instance per user, and an orderly end on Quit, SIGTERM, SIGINT or SIGHUP.
namespace SonorelApp {

// Runs Sonorel until it quits. `makeServices` gives the caption controller its desktop services;
// `installServices` runs once the application object exists, to give the other subsystems theirs.
int run(int argc, char **argv, AppDelegate::ServicesFactory makeServices, const std::function<void()> &installServices);

} // namespace SonorelApp
