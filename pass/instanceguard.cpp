#include "pass/instanceguard.h"

#include "base/logging.h"
#include "platform/processes.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSysInfo>
#include <QThread>

namespace {
const QByteArray kComeForward = QByteArrayLiteral("come-forward\n");
const QByteArray kTakeOver = QByteArrayLiteral("take-over\n");
const QByteArray kAnswer = QByteArrayLiteral("ok\n");
// A launcher just started answers once its window is up, which a loaded machine
// can take seconds over; one that has not answered by then is hung.
constexpr int kAnswerTimeoutMs = 5000;
constexpr int kLockWriteMs = 1000;
} // namespace

InstanceGuard::InstanceGuard(const QString &dataRoot, QObject *parent)
    : QObject(parent), dataRoot(dataRoot)
{
}

InstanceGuard::~InstanceGuard() = default;

QString InstanceGuard::socketNameFor(const QString &dataRoot)
{
    const QByteArray digest = QCryptographicHash::hash(
        QDir::cleanPath(QDir(dataRoot).absolutePath()).toUtf8(), QCryptographicHash::Sha256);
    return QStringLiteral("IvraGateway-%1").arg(QString::fromLatin1(digest.toHex().left(16)));
}

InstanceGuard::Outcome InstanceGuard::acquire(bool askForward, bool takeOver)
{
    QDir().mkpath(dataRoot);
    lock = std::make_unique<QLockFile>(
        QDir(dataRoot).absoluteFilePath(QStringLiteral("gateway.lock")));
    // Held for the whole run; only the death of its process makes it stale.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0))
        return Outcome::Acquired;
    if (lock->error() != QLockFile::LockFailedError) {
        // A data folder that cannot hold a lock fails the pass with its own message.
        logWarning(QStringLiteral("Unable to lock the data folder %1 (error %2); running without "
                                  "the lock")
                       .arg(dataRoot)
                       .arg(int(lock->error())));
        lock.reset();
        return Outcome::Acquired;
    }
    qint64 pid = 0;
    QString host;
    QString application;
    // A launcher started at the same moment may have created the file and
    // not written it yet: only a lock that stays unreadable is taken over.
    const QDeadlineTimer writing(kLockWriteMs);
    bool readable = lock->getLockInfo(&pid, &host, &application);
    while (!readable && !writing.hasExpired()) {
        QThread::msleep(50);
        if (lock->tryLock(0))
            return Outcome::Acquired;
        readable = lock->getLockInfo(&pid, &host, &application);
    }
    // A lock naming this very process was left by an earlier one that had
    // its id (ids come round again, soon under Wine): nothing holds it.
    if (readable && pid == QCoreApplication::applicationPid()) {
        lock->removeStaleLockFile();
        if (lock->tryLock(0))
            return Outcome::Acquired;
    }
    if (!readable) {
        // Empty or unreadable (a crash while it was written, a copy of a
        // home): no process can be holding it.
        logWarning(QStringLiteral("The lock %1 is unreadable: taken over").arg(lock->fileName()));
        lock->removeStaleLockFile();
        if (lock->tryLock(0))
            return Outcome::Acquired;
    } else if (holderRunsHere(pid, host)) {
        if (takeOver && ask(kTakeOver)) {
            // Given over: the lock file goes as the other process lets it go.
            const QDeadlineTimer given(kAnswerTimeoutMs);
            while (!given.hasExpired()) {
                if (lock->tryLock(0))
                    return Outcome::Acquired;
                QThread::msleep(20);
            }
        }
        lock.reset();
        return !takeOver && askForward && ask(kComeForward) ? Outcome::AnotherAnswered
                                                            : Outcome::AnotherRuns;
    }
    const QFileInfo file(lock->fileName());
    lockedOut =
        QStringLiteral("The data folder is locked by %1 (process %2 on %3, user %4), "
                       "and no launcher on this machine holds it. If no launcher runs "
                       "there, remove that file and start again.")
            .arg(file.absoluteFilePath(), pid > 0 ? QString::number(pid) : QStringLiteral("?"),
                 host.isEmpty() ? QStringLiteral("?") : host,
                 file.owner().isEmpty() ? QStringLiteral("?") : file.owner());
    lock.reset();
    return Outcome::LockedOut;
}

// A lock named by a process of this machine that still lives: a launcher
// that runs (QLockFile has taken over the lock of one that died already).
bool InstanceGuard::holderRunsHere(qint64 pid, const QString &host) const
{
    return host == QSysInfo::machineHostName() && pid > 0 && processRuns(pid);
}

// The running launcher may still be starting: its socket may not listen yet.
bool InstanceGuard::ask(const QByteArray &request)
{
    const QDeadlineTimer deadline(kAnswerTimeoutMs);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(socketNameFor(dataRoot));
        if (!socket.waitForConnected(int(deadline.remainingTime()))) {
            QThread::msleep(50);
            continue;
        }
        socket.write(request);
        socket.waitForBytesWritten(int(deadline.remainingTime()));
        while (!socket.canReadLine() && socket.waitForReadyRead(int(deadline.remainingTime()))) {
        }
        return socket.canReadLine() && socket.readLine() == kAnswer;
    }
    return false;
}

void InstanceGuard::listen()
{
    const QString name = socketNameFor(dataRoot);
    delete server;
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket file left by a launcher that died; this process holds the lock now.
    QLocalServer::removeServer(name);
    if (!server->listen(name)) {
        logWarning(QStringLiteral("Unable to answer later starts on %1: %2")
                       .arg(name, server->errorString()));
        return;
    }
    connect(server, &QLocalServer::newConnection, this, [this]() {
        while (QLocalSocket *socket = server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket]() {
                if (!socket->canReadLine())
                    return;
                const QByteArray request = socket->readLine();
                if (request == kComeForward) {
                    logInfo(
                        QStringLiteral("Another start on this data folder: coming to the front."));
                    Q_EMIT comeForwardRequested();
                    socket->write(kAnswer);
                } else if (request == kTakeOver && handingOver) {
                    logInfo(QStringLiteral("The new launcher build takes the data folder."));
                    handingOver = false;
                    lock.reset();
                    server->close();
                    socket->write(kAnswer);
                }
                socket->flush();
                socket->disconnectFromServer();
            });
        }
    });
}

void InstanceGuard::handOver()
{
    handingOver = true;
}

bool InstanceGuard::keep()
{
    handingOver = false;
    return lock != nullptr;
}

void InstanceGuard::release()
{
    delete server;
    server = nullptr;
    lock.reset();
}
