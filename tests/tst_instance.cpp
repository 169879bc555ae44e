// One launcher per data folder, with the real programs as the other side:
// a later start brings the running one forward and leaves the data folder
// alone, the headless updater refuses to run beside it, and the lock of a
// launcher that was killed is taken over.
#include "pass/instanceguard.h"
#include "storage/paths.h"
#include "support/testutil.h"

#include <QDirIterator>
#include <QProcess>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTest>

using namespace TestUtil;

namespace {
QString program(const QString &name)
{
    return qEnvironmentVariable("IVRA_TEST_BINARY_DIR") + QLatin1Char('/') + name;
}

QStringList dataFolderListing()
{
    QStringList listing;
    QDirIterator it(dataRootPath(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        listing << it.next() + QLatin1Char(' ') + QString::number(it.fileInfo().size());
    listing.sort();
    return listing;
}
} // namespace

class InstanceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { installTestLogging(); }
    void init() { freshDataRoot(); }

    void laterStartsDeferToTheRunningOne()
    {
        InstanceGuard guard(dataRootPath());
        QCOMPARE(guard.acquire(), InstanceGuard::Outcome::Acquired);
        guard.listen();
        QSignalSpy forward(&guard, &InstanceGuard::comeForwardRequested);
        const QStringList before = dataFolderListing();

        QProcess launcher;
        launcher.start(program("IvraLauncher"));
        QVERIFY(launcher.waitForStarted());
        QSignalSpy exited(&launcher, &QProcess::finished);
        QVERIFY(exited.wait(5000)); // the event loop answers meanwhile
        QCOMPARE(launcher.exitCode(), 0);
        QCOMPARE(forward.size(), 1);

        QProcess updater;
        updater.start(program("ivra-update"));
        QVERIFY(updater.waitForFinished(5000));
        QCOMPARE(updater.exitCode(), 1);
        QCOMPARE(updater.readAllStandardError(), QByteArray("IVRA Gateway is already running.\n"));
        QCOMPARE(dataFolderListing(), before); // neither touched the data folder
        QCOMPARE(logLines().filter(" Requesting Gateway manifest").size(), 0);
    }

    void lockOfAKilledLauncherIsTakenOver()
    {
        QProcess launcher;
        launcher.start(program("IvraLauncher"));
        QVERIFY(launcher.waitForStarted());
        QTRY_VERIFY(QFileInfo::exists(dataRootPath() + "/gateway.lock"));
        // Past the lock, its pass runs: it holds the data folder now.
        QTRY_VERIFY(logLines().filter(" Requesting Gateway manifest").size() >= 1);
        launcher.kill();
        QVERIFY(launcher.waitForFinished());
        QVERIFY(QFileInfo::exists(dataRootPath() + "/gateway.lock"));

        InstanceGuard guard(dataRootPath());
        QCOMPARE(guard.acquire(), InstanceGuard::Outcome::Acquired);
        guard.listen(); // over the socket the killed one left
        QSignalSpy forward(&guard, &InstanceGuard::comeForwardRequested);
        QProcess later;
        later.start(program("IvraLauncher"));
        QSignalSpy exited(&later, &QProcess::finished);
        QVERIFY(exited.wait(5000));
        QCOMPARE(forward.size(), 1);
    }

    // Locks no launcher of this machine holds: an empty one (a crash while it
    // was written) is taken over; one naming another machine (a copied home)
    // is named, with what to do, by the launcher and by ivra-update.
    void locksNoLauncherHolds()
    {
        const QString lockPath = dataRootPath() + "/gateway.lock";
        QVERIFY(writeFile(lockPath, QByteArray()));
        {
            InstanceGuard guard(dataRootPath());
            QCOMPARE(guard.acquire(false), InstanceGuard::Outcome::Acquired);
        }
        // One naming this process: left by an earlier process with the same
        // id (ids come round soon under Wine).
        QVERIFY(writeFile(lockPath, QByteArray::number(QCoreApplication::applicationPid()) + "\n" +
                                        QCoreApplication::applicationName().toUtf8() + "\n" +
                                        QSysInfo::machineHostName().toUtf8() + "\n"));
        {
            InstanceGuard guard(dataRootPath());
            QCOMPARE(guard.acquire(false), InstanceGuard::Outcome::Acquired);
        }
        QVERIFY(writeFile(lockPath, "4242\nivra-update\nsome-other-machine\n"));
        InstanceGuard guard(dataRootPath());
        QCOMPARE(guard.acquire(false), InstanceGuard::Outcome::LockedOut);
        QVERIFY2(guard.lockedOutMessage().startsWith(
                     QStringLiteral("The data folder is locked by %1 (process 4242 on "
                                    "some-other-machine, user ")
                         .arg(lockPath)),
                 qPrintable(guard.lockedOutMessage()));
        QProcess updater;
        updater.start(program("ivra-update"));
        QVERIFY(updater.waitForFinished(5000));
        QCOMPARE(updater.exitCode(), 1);
        QCOMPARE(QString::fromUtf8(updater.readAllStandardError()).trimmed(),
                 guard.lockedOutMessage());
        QCOMPARE(readFile(lockPath), QByteArray("4242\nivra-update\nsome-other-machine\n"));
    }
};

QTEST_GUILESS_MAIN(InstanceTest)
#include "tst_instance.moc"
