#include "base/processstart.h"

#include <QFile>

extern char **environ;

namespace {
QStringList &arguments()
{
    static QStringList list;
    return list;
}

QStringList &environment()
{
    static QStringList list;
    return list;
}
} // namespace

void rememberProcessStart(int argc, char **argv)
{
    arguments().clear();
    for (int i = 1; i < argc; ++i)
        arguments() << QFile::decodeName(argv[i]);
    environment().clear();
    for (char **variable = environ; variable && *variable; ++variable)
        environment() << QFile::decodeName(*variable);
}

QStringList startArguments()
{
    QStringList kept;
    for (const QString &argument : arguments())
        if (!argument.startsWith(QLatin1String(kHealthFileOption)))
            kept << argument;
    return kept;
}

QStringList startEnvironment()
{
    return environment();
}

QString startHealthFile()
{
    for (const QString &argument : arguments())
        if (argument.startsWith(QLatin1String(kHealthFileOption)))
            return argument.mid(int(qstrlen(kHealthFileOption)));
    return QString();
}
