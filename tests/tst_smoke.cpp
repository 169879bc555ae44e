// Starts the real IvraLauncher binary with the offscreen platform and reads
// its log file, as an operator would.
#include <QDate>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

class SmokeTest : public QObject
{
    Q_OBJECT

private:
    QString logPath() const
    {
        return qEnvironmentVariable("XDG_DATA_HOME") +
               QStringLiteral("/IVRA Labs/IvraLauncher/logs/IvraLauncher-%1.log")
                   .arg(QDate::currentDate().toString(Qt::ISODate));
    }

    QStringList logLines() const
    {
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // Runs the launcher until its first request has been logged, then ends it.
    QStringList runOnce(const QStringList &arguments)
    {
        const int before = logLines().size();
        QProcess launcher;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        launcher.setProcessEnvironment(environment);
        launcher.start(qEnvironmentVariable("IVRA_TEST_BINARY_DIR") +
                           QStringLiteral("/IvraLauncher"),
                       arguments);
        if (!launcher.waitForStarted())
            return {QStringLiteral("not started")};
        QDeadlineTimer deadline(20000);
        while (logLines().size() < before + 4 && !deadline.hasExpired())
            QTest::qWait(50);
        launcher.kill();
        launcher.waitForFinished();
        return logLines().mid(before);
    }

private Q_SLOTS:
    void startLinesComeFirstAndRunsAppend()
    {
        QFile::remove(logPath());
        for (const QStringList &arguments :
             {QStringList(), QStringList{"--no-such-option", "extra"}}) {
            const QStringList added = runOnce(arguments);
            QVERIFY2(added.size() >= 4, qPrintable(added.join('\n')));
            QVERIFY(added.at(0).endsWith(QStringLiteral(" info IVRA Launcher started.")));
            QVERIFY(added.at(1).endsWith(QStringLiteral(" info Logging mode: file only.")));
            QVERIFY(added.at(2).endsWith(QStringLiteral(" info Log file: %1").arg(logPath())));
            QVERIFY2(added.at(3).contains(QStringLiteral(" info Requesting Gateway manifest: ")),
                     qPrintable(added.at(3)));
            QVERIFY(added.at(3).endsWith(
                QStringLiteral("/releases/manifests/gateway-demo.json?edition=demo")));
        }
        // The second run appended below the first: both sets of start lines are in the one file.
        QCOMPARE(logLines().filter(QStringLiteral(" info IVRA Launcher started.")).size(), 2);
    }
};

QTEST_GUILESS_MAIN(SmokeTest)
#include "tst_smoke.moc"
