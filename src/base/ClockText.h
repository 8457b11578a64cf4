#pragma once

#include <QString>

// A length of time as a clock shows it: "m:ss", or "h:mm:ss" from an hour on.
// Negative seconds count as 0.
QString clockText(qint64 seconds);
