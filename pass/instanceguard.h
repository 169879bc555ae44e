#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

// One launcher per data folder. A lock file in the data folder (a lock left by
// a process that died is taken over), and a local socket named after the data
// folder, through which a later start asks the running launcher to come to
// the front instead of running a second pass over the same files.
class InstanceGuard : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Acquired,        // this process has the data folder (or it cannot be locked at all)
        AnotherAnswered, // another process has it and came to the front
        AnotherRuns,     // another process has it and did not answer in time
        LockedOut,       // a lock no launcher of this machine holds, that cannot be removed
    };

    explicit InstanceGuard(const QString &dataRoot, QObject *parent = nullptr);
    ~InstanceGuard() override;

    // Takes the data folder. When another process holds it and ask is set,
    // asks that one to come forward, waiting a few seconds for its answer.
    // takeOver: this is the new build a launcher update started, and asks
    // that launcher to give the data folder over instead (see handOver).
    Outcome acquire(bool ask = true, bool takeOver = false);
    // Once acquired: answers later starts by emitting comeForwardRequested.
    void listen();
    // Gives the data folder up (to a new launcher build this one starts).
    void release();
    // Keeps the data folder, and answers later starts, until the new build
    // this one started asks for it; then gives it over.
    void handOver();
    // After handOver: whether the data folder is still this process's, which
    // then stops handing it over.
    bool keep();

    // LockedOut: what holds the lock and what to do, for the user.
    QString lockedOutMessage() const { return lockedOut; }

    // The local socket's name for a data folder.
    static QString socketNameFor(const QString &dataRoot);

Q_SIGNALS:
    void comeForwardRequested();

private:
    bool ask(const QByteArray &request);

    bool holderRunsHere(qint64 pid, const QString &host) const;

    const QString dataRoot;
    QString lockedOut;
    std::unique_ptr<QLockFile> lock;
    QLocalServer *server = nullptr;
    bool handingOver = false;
};
