#pragma once

#include <QStringList>

// What this process was started with, kept before anything can change it: a
// launcher that starts its successor passes on the same arguments and the
// environment it was given itself, nothing it added.
void rememberProcessStart(int argc, char **argv);
// The arguments after the program's name, without the launcher's own
// hand-over option.
QStringList startArguments();
// "NAME=value" lines, as the process found them.
QStringList startEnvironment();

// The option a launcher that just installed its successor starts it with:
// the file the new build creates once it is healthy.
inline constexpr char kHealthFileOption[] = "--launcher-health-file=";
// Its value among the start arguments; empty when started normally.
QString startHealthFile();
