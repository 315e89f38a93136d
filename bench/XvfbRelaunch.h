#pragma once

#include <QtGlobal>

#include <cstdio>
#include <unistd.h>
#include <vector>

// Without an X server (make bench from a terminal without one), runs the benchmark again on a virtual
// one. Returns only when a display is already there, or with the exit status of a failed relaunch.
inline int relaunchUnderXvfbIfNeeded(int argc, char **argv)
{
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return 0;
    std::vector<char *> args{const_cast<char *>("xvfb-run"), const_cast<char *>("-a")};
    args.insert(args.end(), argv, argv + argc);
    args.push_back(nullptr);
    ::execvp("xvfb-run", args.data());
    std::perror("xvfb-run");
    return 1;
}
