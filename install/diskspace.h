#pragma once

#include <QString>

// Whether the file system that holds folder (or its nearest existing parent)
// has room for needed more bytes: empty when it has, or when its free space
// cannot be told; otherwise the window's message.
QString diskSpaceProblem(const QString &folder, qint64 needed);
