#include "platform/filenames.h"

#include <QDir>
#include <QFile>

QByteArray zipArchivePath(const QString &path)
{
#ifdef Q_OS_WIN
    return QDir::toNativeSeparators(path).toUtf8();
#else
    return QFile::encodeName(path);
#endif
}

bool refusesWindowsNames()
{
#ifdef Q_OS_WIN
    return true;
#else
    return false;
#endif
}

bool renamesOpenFiles()
{
#ifdef Q_OS_WIN
    return false;
#else
    return true;
#endif
}
