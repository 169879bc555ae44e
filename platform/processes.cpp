#include "platform/processes.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QRegularExpression>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
namespace {
struct Started
{
    HANDLE process = nullptr;
    HANDLE job = nullptr;
};
QMutex startedLock;
QHash<qint64, Started> started;

// One argument as the C runtime splits a command line: quoted when it holds
// spaces, tabs or quotes, with backslashes doubled before a quote.
QString quoted(const QString &argument)
{
    if (!argument.isEmpty() && !argument.contains(QRegularExpression(QStringLiteral("[ \t\"]"))))
        return argument;
    QString text = QStringLiteral("\"");
    int backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        text +=
            QString(c == QLatin1Char('"') ? backslashes * 2 + 1 : backslashes, QLatin1Char('\\'));
        backslashes = 0;
        text += c;
    }
    text += QString(backslashes * 2, QLatin1Char('\\'));
    return text + QLatin1Char('"');
}
} // namespace

qint64 startProcessGroup(const QString &program, const QStringList &arguments,
                         const QStringList &environment)
{
    QString line = quoted(QDir::toNativeSeparators(program));
    for (const QString &argument : arguments)
        line += QLatin1Char(' ') + quoted(argument);
    QString block;
    for (const QString &variable : environment)
        block += variable + QChar(QChar::Null);
    block += QChar(QChar::Null);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::wstring command = line.toStdWString();
    std::wstring variables = block.toStdWString();
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED,
                        environment.isEmpty() ? nullptr : variables.data(), nullptr, &startup,
                        &info))
        return 0;
    // A job holds what the process starts, so that all of it can be ended.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job && !AssignProcessToJobObject(job, info.hProcess)) {
        CloseHandle(job);
        job = nullptr;
    }
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    QMutexLocker locker(&startedLock);
    started.insert(qint64(info.dwProcessId), {info.hProcess, job});
    return qint64(info.dwProcessId);
}

bool processEnded(qint64 id, int *exitCode, QString *how)
{
    QMutexLocker locker(&startedLock);
    const Started process = started.value(id);
    if (!process.process || WaitForSingleObject(process.process, 0) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(process.process, &code);
    *exitCode = int(code);
    *how = QStringLiteral("it exited with status %1").arg(code);
    // Whatever it left running goes with it.
    started.remove(id);
    if (process.job) {
        TerminateJobObject(process.job, 1);
        CloseHandle(process.job);
    }
    CloseHandle(process.process);
    return true;
}

void endProcessGroup(qint64 id)
{
    QMutexLocker locker(&startedLock);
    const Started process = started.take(id);
    if (process.job) {
        TerminateJobObject(process.job, 1);
        CloseHandle(process.job);
    }
    if (process.process) {
        TerminateProcess(process.process, 1);
        WaitForSingleObject(process.process, 5000);
        CloseHandle(process.process);
    }
}

void replaceProcess(const QString &program, const QStringList &arguments,
                    const QStringList &environment)
{
    if (startProcessGroup(program, arguments, environment) != 0)
        ExitProcess(0);
}

bool processRuns(qint64 pid)
{
    HANDLE process =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED;
    const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return runs;
}
#else
namespace {
// Owns what argv and envp point into.
struct CommandLine
{
    QList<QByteArray> storage;
    std::vector<char *> argv, envp;

    CommandLine(const QString &program, const QStringList &arguments,
                const QStringList &environment)
    {
        storage << QFile::encodeName(program);
        for (const QString &argument : arguments)
            storage << argument.toLocal8Bit();
        const int argumentCount = int(storage.size());
        for (const QString &variable : environment)
            storage << variable.toLocal8Bit();
        for (int i = 0; i < storage.size(); ++i)
            (i < argumentCount ? argv : envp).push_back(storage[i].data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
    }
};
} // namespace

qint64 startProcessGroup(const QString &program, const QStringList &arguments,
                         const QStringList &environment)
{
    // posix_spawn rather than QProcess: the new process must outlive this
    // one, and only a child of ours can be waited for.
    CommandLine line(program, arguments, environment);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, line.argv[0], nullptr, &attributes, line.argv.data(), line.envp.data());
    posix_spawnattr_destroy(&attributes);
    return spawned == 0 ? pid : 0;
}

bool processEnded(qint64 id, int *exitCode, QString *how)
{
    int status = 0;
    if (::waitpid(pid_t(id), &status, WNOHANG) != pid_t(id))
        return false;
    // Whatever it left running goes with it.
    ::kill(-pid_t(id), SIGKILL);
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    *how = WIFEXITED(status) ? QStringLiteral("it exited with status %1").arg(WEXITSTATUS(status))
                             : QStringLiteral("it ended on signal %1").arg(WTERMSIG(status));
    return true;
}

void endProcessGroup(qint64 id)
{
    ::kill(-pid_t(id), SIGKILL);
    int status = 0;
    ::waitpid(pid_t(id), &status, 0);
}

void replaceProcess(const QString &program, const QStringList &arguments,
                    const QStringList &environment)
{
    CommandLine line(program, arguments, environment);
    ::execve(line.argv[0], line.argv.data(), line.envp.data());
}

bool processRuns(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}
#endif
