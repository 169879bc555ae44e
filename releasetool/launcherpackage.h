#pragma once

#include <QString>
#include <QStringList>

// Why the file at path is not an executable that starts on platform
// ("linux-x86_64", "linux-aarch64"): not ELF, another machine, or cut
// short. Empty when it is one.
QString executableProblem(const QString &path, const QString &platform);

// A launcher package that starts on its platform: it extracts by the
// client's rules and holds both programs as whole executables for it; where
// this machine can run them, its ivra-update says it is version of edition.
// A launcher that installed a package of another version would replace
// itself with it again at every start.
QString checkLauncherPackage(const QString &zipPath, const QString &platform,
                             const QString &version, const QString &edition, QStringList *report);
