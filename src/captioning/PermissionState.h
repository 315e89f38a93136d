#pragma once

#include <QString>

enum class PermissionState { granted, denied, restricted, undetermined };

// The form used in log lines: "granted", "denied", "restricted", "undetermined".
QString permissionStateName(PermissionState state);
