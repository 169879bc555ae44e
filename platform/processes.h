#pragma once

#include <QString>
#include <QStringList>

// Starting and watching other processes: the one place where Linux and
// Windows differ in it.

// Starts program with arguments and environment ("NAME=value" lines) as a
// process group of its own (Windows: a job) that outlives this process. Its
// id, or 0 when it could not be started.
qint64 startProcessGroup(const QString &program, const QStringList &arguments,
                         const QStringList &environment);

// Whether the process started so has ended, without waiting. Then *how says
// how ("it exited with status 1", "it ended on signal 9") and *exitCode is
// its exit status (-1 when a signal ended it).
bool processEnded(qint64 id, int *exitCode, QString *how);

// Ends the process group started so, whatever it started too, and waits for
// the process itself.
void endProcessGroup(qint64 id);

// Runs program in this process's place with the same arguments and
// environment; returns only when that fails (Windows, where a process cannot
// be replaced: when it could not be started; else this process exits).
void replaceProcess(const QString &program, const QStringList &arguments,
                    const QStringList &environment);

// Whether a process with this id runs on this machine.
bool processRuns(qint64 pid);
