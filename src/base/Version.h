#pragma once

#include <QString>

// The version the window's title, the log and --version show: the project's
// version from CMake with its label.
QString applicationVersion();
