#pragma once

#include <QString>

// Removes the directory at path with everything in it. A path with no
// directory behind it counts as success.
bool removeDirectoryIfPresent(const QString &path, QString *error = nullptr);
