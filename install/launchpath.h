#pragma once

#include <QString>

// The absolute, cleaned path of the client executable named by exePath inside
// installRoot, or empty with the reason in error. exePath comes from the
// network: absolute paths, colons and "." or ".." segments are refused, and the
// result must stay inside the root and be an existing regular file.
QString resolveLaunchPath(const QString &installRoot, const QString &exePath,
                          QString *error = nullptr);
