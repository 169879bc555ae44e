#pragma once

#include <QByteArray>
#include <QString>

// How this system names files: the one place where Linux and Windows differ
// in it.

// A path as libzip takes it: UTF-8 on Windows (never the local code page, in
// which a user folder such as "C:\Users\山田" has no name), the file system's
// encoding elsewhere.
QByteArray zipArchivePath(const QString &path);

// Whether names Windows cannot create are refused here (on Windows).
bool refusesWindowsNames();

// Whether a file that one thread reads can be renamed by another meanwhile
// (not on Windows, so there the install waits for the whole package).
bool renamesOpenFiles();
