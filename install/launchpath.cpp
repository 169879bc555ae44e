#include "install/launchpath.h"

#include "install/zipextract.h"

#include <QDir>
#include <QFileInfo>

namespace {
QString fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return QString();
}
} // namespace

QString resolveLaunchPath(const QString &installRoot, const QString &exePath, QString *error)
{
    if (installRoot.trimmed().isEmpty() || exePath.trimmed().isEmpty())
        return fail(error, QStringLiteral("Client launch path is not configured."));

    const QString relative = exePath.trimmed().replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!QFileInfo(relative).isRelative() || relative.contains(QLatin1Char(':')))
        return fail(error, QStringLiteral("Client launch path must be relative: %1.").arg(exePath));

    const QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            return fail(error, QStringLiteral("Client launch path is unsafe: %1.").arg(exePath));
    }

    const QString candidate = QDir::cleanPath(QDir(installRoot).absoluteFilePath(relative));
    // The containment guard; after the checks above it only bites for unusual
    // roots such as a file-system root, whose cleaned form already ends in "/".
    if (!isInsideDirectory(installRoot, candidate))
        return fail(error,
                    QStringLiteral("Client launch path escapes install root: %1.").arg(exePath));

    const QFileInfo info(candidate);
    if (!info.exists() || !info.isFile())
        return fail(error, QStringLiteral("Client executable was not found: %1.").arg(candidate));
    return candidate;
}
