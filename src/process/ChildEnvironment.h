#pragma once

#include <QProcessEnvironment>
#include <QString>

// The child's environment: the application's own, with the fixed tool search
// path appended to PATH (an existing PATH keeps precedence, even when empty).
QProcessEnvironment childEnvironment(const QProcessEnvironment& appEnvironment,
                                     const QString& fixedToolSearchPath);
