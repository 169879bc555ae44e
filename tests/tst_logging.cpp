#include "base/logging.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

class LoggingTest : public QObject
{
    Q_OBJECT

private:
    QStringList lines() const
    {
        QFile file(currentLogFilePath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("IVRA Labs"));
        QCoreApplication::setApplicationName(QStringLiteral("IvraLauncher"));
        installFileLogging();
    }

    void init() { QFile::remove(currentLogFilePath()); }

    void fileIsDailyBelowApplicationData()
    {
        const QString expected =
            QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
            QStringLiteral("/logs/IvraLauncher-%1.log")
                .arg(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
        QCOMPARE(currentLogFilePath(), expected);
        QVERIFY(currentLogFilePath().contains(QStringLiteral("/IVRA Labs/IvraLauncher/logs/")));
    }

    void everyTypeIsWrittenWithTimeAndType()
    {
        qDebug("debug text");
        qInfo("info text");
        qWarning("warning text");
        qCritical("critical text");
        const QStringList written = lines();
        QCOMPARE(written.size(), 5); // four records and the empty rest after the last "\n"
        const QStringList types{"debug", "info", "warning", "critical"};
        const QRegularExpression stamp(
            QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} (\\w+) (.*)$"));
        for (int i = 0; i < types.size(); ++i) {
            const QRegularExpressionMatch match = stamp.match(written.at(i));
            QVERIFY2(match.hasMatch(), qPrintable(written.at(i)));
            QCOMPARE(match.captured(1), types.at(i));
            QCOMPARE(match.captured(2), types.at(i) + QStringLiteral(" text"));
        }
        QCOMPARE(written.last(), QString());
    }

    void unquotedTextAndLineBreaksStayAsTheyAre()
    {
        logInfo(QStringLiteral("first \"quoted\"\nsecond line"));
        QFile file(currentLogFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.endsWith(" info first \"quoted\"\nsecond line\n"));
        QCOMPARE(content.count('\n'), 2);
    }

    void deletedFileIsCreatedAgain()
    {
        logInfo(QStringLiteral("before"));
        QVERIFY(QFile::remove(currentLogFilePath()));
        logInfo(QStringLiteral("after"));
        const QStringList written = lines();
        QCOMPARE(written.size(), 2);
        QVERIFY(written.first().endsWith(QStringLiteral(" info after")));
    }

    void recordsFromThreadsNeverInterleave()
    {
        constexpr int kThreads = 4;
        constexpr int kMessages = 200;
        QList<QThread *> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.append(QThread::create([t]() {
                for (int i = 0; i < kMessages; ++i)
                    logInfo(QStringLiteral("thread %1 message %2 %3")
                                .arg(t)
                                .arg(i)
                                .arg(QString(50, QLatin1Char('x'))));
            }));
            threads.last()->start();
        }
        for (QThread *thread : threads) {
            thread->wait();
            delete thread;
        }
        QStringList written = lines();
        written.removeLast();
        QCOMPARE(written.size(), kThreads * kMessages);
        const QRegularExpression record(
            QStringLiteral("^[-0-9]{10} [:.0-9]{12} info thread \\d message \\d+ x{50}$"));
        for (const QString &line : written)
            QVERIFY2(record.match(line).hasMatch(), qPrintable(line));
    }

    void emptyBaseFallsBackToTemporaryFolder()
    {
        const QString path = resolveLogFilePathIn(QString());
        QCOMPARE(QFileInfo(path).absolutePath(), QDir::tempPath() + QStringLiteral("/logs"));
        QVERIFY(QFileInfo(QDir::tempPath() + QStringLiteral("/logs")).isDir());
    }

    void uncreatableLogFolderPutsFileInBase()
    {
        QTemporaryDir base;
        QFile blocker(base.filePath(QStringLiteral("logs")));
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // a plain file where the folder should be
        blocker.close();
        const QString path = resolveLogFilePathIn(base.path());
        QCOMPARE(QFileInfo(path).absolutePath(), base.path());
        QVERIFY(QFileInfo(path).fileName().startsWith(QStringLiteral("IvraLauncher-")));
    }
};

QTEST_GUILESS_MAIN(LoggingTest)
#include "tst_logging.moc"
