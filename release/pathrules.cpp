#include "release/pathrules.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

bool isSafeZipEntryName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char(':')))
        return false;
    const QStringList parts = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return false;
    for (const QString &part : parts) {
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

bool isInsideDirectory(const QString &root, const QString &path)
{
    const QString cleanRoot = QDir::cleanPath(QFileInfo(root).absoluteFilePath());
    const QString cleanPath = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    return cleanPath == cleanRoot || cleanPath.startsWith(cleanRoot + QLatin1Char('/'));
}

QString windowsNameProblem(const QString &name)
{
    static const QRegularExpression reserved(
        QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    for (const QString &part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (reserved.match(part).hasMatch())
            return QStringLiteral("%1 is a device name on Windows").arg(part);
        if (part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' ')))
            return QStringLiteral("%1 ends in a dot or a space, which Windows drops").arg(part);
        for (const QChar c : part) {
            if (c.unicode() < 0x20 || QStringLiteral("<>:\"|?*").contains(c))
                return QStringLiteral("%1 holds a character Windows does not allow in names")
                    .arg(part);
        }
    }
    return QString();
}
