#include "net/transfermeter.h"
#include "storage/gatewaysettings.h"
#include "storage/gatewaystate.h"
#include "storage/paths.h"
#include "support/testutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
bool writeText(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

GatewayRelease offer(const QString &fullVersion,
                     const QString &url = QStringLiteral("https://x.example"))
{
    GatewayRelease release;
    release.hasUpgrade = true;
    release.upgradeUrl = url;
    release.fullLatestVersion = fullVersion;
    return release;
}
} // namespace

class StorageTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temp;

private Q_SLOTS:
    // The line under the status while a download runs.
    void transferLines_data()
    {
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<double>("speed");
        QTest::addColumn<QString>("text");
        QTest::newRow("as in the window") << qint64(312000000) << qint64(1200000000) << 24.5e6
                                          << "312 MB of 1.2 GB \u00b7 24.5 MB/s \u00b7 37 s left";
        QTest::newRow("no speed yet") << qint64(0) << qint64(48000) << 0.0 << "0 bytes of 48.0 KB";
        QTest::newRow("no total") << qint64(5500000) << qint64(-1) << 1.0e6
                                  << "5.5 MB \u00b7 1.0 MB/s";
        QTest::newRow("hours") << qint64(0) << qint64(20000000000) << 2.0e6
                               << "0 bytes of 20.0 GB \u00b7 2.0 MB/s \u00b7 2 h 46 min left";
    }
    void transferLines()
    {
        QFETCH(qint64, done);
        QFETCH(qint64, total);
        QFETCH(double, speed);
        QFETCH(QString, text);
        QCOMPARE(transferText(done, total, speed), text);
    }

    // The speed follows the last seconds; a transfer that starts again resets it.
    void transferMeter()
    {
        TransferMeter meter;
        meter.record(0, 0);
        QCOMPARE(meter.bytesPerSecond(), 0.0);
        for (qint64 ms = 1000; ms <= 10000; ms += 1000)
            meter.record(ms, ms < 6000 ? ms * 1000 : 5000000 + (ms - 5000) * 100);
        QCOMPARE(meter.bytesPerSecond(), 100000.0); // the last 5 s only
        meter.record(11000, 10);
        QCOMPARE(meter.bytesPerSecond(), 0.0);
    }

    void dataRootAndLayout()
    {
        const QString generic =
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        const QString root = generic + QStringLiteral("/Ivra Engine");
        QCOMPARE(dataRootPath(), root);
        QCOMPARE(gatewayStatePath(), root + QStringLiteral("/gateway-state.json"));
        QCOMPARE(downloadsPath(), root + QStringLiteral("/downloads"));
        QCOMPARE(clientProductPath(QStringLiteral("ivra-demo")),
                 root + QStringLiteral("/clients/ivra-demo"));
        QCOMPARE(clientVersionPath(QStringLiteral("ivra-demo"), QStringLiteral(" 1.4.2 ")),
                 root + QStringLiteral("/clients/ivra-demo/1.4.2"));
        QCOMPARE(clientStagingPath(QStringLiteral("ivra-demo"), QStringLiteral(" 1.4.2 ")),
                 root + QStringLiteral("/clients/ivra-demo/.staging- 1.4.2 "));
        QCOMPARE(clientVersionPath(QStringLiteral("ivra-demo"), QStringLiteral("   ")), QString());
        QCOMPARE(clientVersionPath(QStringLiteral("ivra-demo"), QString()), QString());
        // The application's identity has no say in the data root.
        QCoreApplication::setOrganizationName(QStringLiteral("Other"));
        QCOMPARE(dataRootPath(), root);
    }

    void emptyGenericLocationFallsBackToApplicationFolder()
    {
        QCOMPARE(dataRootPathIn(QString()),
                 QCoreApplication::applicationDirPath() + QStringLiteral("/Ivra Engine"));
    }

    void missingFileLoadsEmptyWithoutError()
    {
        const GatewayStateLoadResult result =
            loadGatewayState(temp.filePath(QStringLiteral("none.json")));
        QCOMPARE(result.error, QString());
        QVERIFY(result.state.clients.isEmpty());
    }

    void brokenFilesLoadEmptyWithTheirMessage_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("empty file") << QByteArray() << "Invalid gateway state JSON: ";
        QTest::newRow("not json") << QByteArray("{\"clients\": {")
                                  << "Invalid gateway state JSON: ";
        QTest::newRow("array root")
            << QByteArray("[{\"clients\":{}}]") << "Gateway state JSON root must be an object.";
    }
    void brokenFilesLoadEmptyWithTheirMessage()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, prefix);
        const QString path = temp.filePath(QStringLiteral("broken.json"));
        QVERIFY(writeText(path, content));
        const GatewayStateLoadResult result = loadGatewayState(path);
        QVERIFY2(result.error.startsWith(prefix), qPrintable(result.error));
        QVERIFY(result.error.endsWith(QLatin1Char('.')));
        QVERIFY(result.state.clients.isEmpty());
        QVERIFY(result.state.dismissedUpgradeMajorByEdition.isEmpty());
    }

    void unreadableFile()
    {
        // A folder where the file should be cannot be opened for reading.
        const QString path = temp.filePath(QStringLiteral("folder.json"));
        QVERIFY(QDir().mkpath(path));
        const GatewayStateLoadResult result = loadGatewayState(path);
        QVERIFY2(result.error.startsWith(
                     QStringLiteral("Unable to open gateway state '%1': ").arg(path)),
                 qPrintable(result.error));
        QVERIFY(result.state.clients.isEmpty());
    }

    void tolerantLoading()
    {
        const QString path = temp.filePath(QStringLiteral("tolerant.json"));
        QVERIFY(writeText(path, R"({
            "clients": {
                "ivra-demo": {"activeVersion": " 1.2.0 ", "previousVersion": 7, "extra": true},
                "broken": "not an object",
                "empty": {}
            },
            "dismissedUpgradeMajorByEdition": {"demo": " 3 ", "full": 4},
            "unknown": 1
        })"));
        const GatewayStateLoadResult result = loadGatewayState(path);
        QCOMPARE(result.error, QString());
        QCOMPARE(result.state.clients.keys(), (QStringList{"empty", "ivra-demo"}));
        QCOMPARE(result.state.clients.value("ivra-demo").activeVersion, QStringLiteral("1.2.0"));
        QCOMPARE(result.state.clients.value("ivra-demo").previousVersion, QString());
        QCOMPARE(result.state.dismissedUpgradeMajorByEdition,
                 (QMap<QString, QString>{{"demo", "3"}}));

        QVERIFY(writeText(path, R"({"clients": "x", "dismissedUpgradeMajorByEdition": []})"));
        const GatewayStateLoadResult wrongTypes = loadGatewayState(path);
        QCOMPARE(wrongTypes.error, QString());
        QVERIFY(wrongTypes.state.clients.isEmpty());
        // The next save writes both members as objects and drops what was ignored.
        QVERIFY(saveGatewayState(path, wrongTypes.state));
        QCOMPARE(QJsonDocument::fromJson(readText(path)).object(),
                 QJsonObject({{"clients", QJsonObject()},
                              {"dismissedUpgradeMajorByEdition", QJsonObject()}}));
    }

    void saveCreatesFoldersAndRoundTrips()
    {
        const QString path = temp.filePath(QStringLiteral("a/b/c/gateway-state.json"));
        GatewayState state;
        state.clients.insert("ivra-demo", {"1.1.0", ""});
        state.clients.insert("ivra-full", {"2.0.0", "1.9.0", "", "2.1.0"});
        state.dismissedUpgradeMajorByEdition.insert("demo", "3");
        QString error;
        QVERIFY(saveGatewayState(path, state, &error));
        QCOMPARE(error, QString());

        const QByteArray written = readText(path);
        QVERIFY(written.contains("\n    \"clients\": {\n")); // indented, four spaces a level
        const QJsonObject root = QJsonDocument::fromJson(written).object();
        QCOMPARE(root.keys(), (QStringList{"clients", "dismissedUpgradeMajorByEdition"}));
        QCOMPARE(root.value("clients").toObject().value("ivra-demo").toObject(),
                 QJsonObject({{"activeVersion", "1.1.0"}, {"previousVersion", ""}}));
        QVERIFY(root.value("dismissedUpgradeMajorByEdition").toObject().value("demo").isString());

        const GatewayStateLoadResult loaded = loadGatewayState(path);
        QCOMPARE(loaded.error, QString());
        QCOMPARE(loaded.state.clients.keys(), state.clients.keys());
        QCOMPARE(loaded.state.clients.value("ivra-full").previousVersion, QStringLiteral("1.9.0"));
        QCOMPARE(loaded.state.clients.value("ivra-full").rolledBackFrom, QStringLiteral("2.1.0"));
        QCOMPARE(loaded.state.dismissedUpgradeMajorByEdition, state.dismissedUpgradeMajorByEdition);
    }

    // What the player set, or the defaults, with a word for the log when the
    // file cannot be read.
    void settingsFile()
    {
        const QString path = temp.filePath(QStringLiteral("settings/gateway-settings.json"));
        QString error;
        QCOMPARE(loadGatewaySettings(path, &error).downloadLimit, 0);
        QVERIFY(saveGatewaySettings(path, GatewaySettings{5000000}));
        QCOMPARE(loadGatewaySettings(path, &error).downloadLimit, 5000000);
        QCOMPARE(error, QString());
        for (const char *text : {"{", "[]", "{\"downloadLimitBytesPerSecond\": -5}",
                                 "{\"downloadLimitBytesPerSecond\": 20}",
                                 "{\"downloadLimitBytesPerSecond\": 63999}", "{}"}) {
            QVERIFY(TestUtil::writeFile(path, text));
            error.clear();
            QCOMPARE(loadGatewaySettings(path, &error).downloadLimit, 0);
            QCOMPARE(error.isEmpty(), QByteArray(text) == "{}");
        }
        QVERIFY(TestUtil::writeFile(path, "{\"downloadLimitBytesPerSecond\": 64000}"));
        QCOMPARE(loadGatewaySettings(path, &error).downloadLimit, 64000);
        for (const qint64 rate : {qint64(1), qint64(20), qint64(63999)})
            QVERIFY(!downloadLimitProblem(rate).isEmpty());
        for (const qint64 rate : {qint64(0), qint64(64000), qint64(5000000)})
            QVERIFY(downloadLimitProblem(rate).isEmpty());
    }

    void failedSavesLeaveThePreviousFile()
    {
        const QString folder = temp.filePath(QStringLiteral("locked"));
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/gateway-state.json");
        QVERIFY(writeText(path, "{\"clients\":{}}"));
        QVERIFY(TestUtil::lockPath(folder));
        GatewayState state;
        state.clients.insert("ivra-demo", {"9.9.9", ""});
        QString error;
        const bool saved = saveGatewayState(path, state, &error);
        const bool savedWithoutMessage = saveGatewayState(path, state, nullptr);
        TestUtil::unlockPath(folder);
        QVERIFY(!saved);
        QVERIFY(!savedWithoutMessage);
        QVERIFY2(
            error.startsWith(QStringLiteral("Unable to write gateway state '%1': ").arg(path)) ||
                error.startsWith(QStringLiteral("Unable to commit gateway state '%1': ").arg(path)),
            qPrintable(error));
        QCOMPARE(readText(path), QByteArray("{\"clients\":{}}"));
    }

    void saveIntoAFolderBlockedByAFile()
    {
        // Works for root too: a plain file stands where the state folder should be.
        const QString blocker = temp.filePath(QStringLiteral("blocker"));
        QVERIFY(writeText(blocker, "x"));
        QString error;
        QVERIFY(!saveGatewayState(blocker + QStringLiteral("/sub/gateway-state.json"),
                                  GatewayState(), &error));
        QCOMPARE(error,
                 QStringLiteral("Unable to create gateway state directory: %1/sub.").arg(blocker));
        QCOMPARE(readText(blocker), QByteArray("x"));

        const QString folderAsFile = temp.filePath(QStringLiteral("state-is-folder.json"));
        QVERIFY(QDir().mkpath(folderAsFile));
        QVERIFY(!saveGatewayState(folderAsFile, GatewayState(), &error));
        QVERIFY2(error.startsWith(QStringLiteral("Unable to ")), qPrintable(error));
        QVERIFY(QFileInfo(folderAsFile).isDir());
    }

    void recordingVersions()
    {
        GatewayState state;
        recordInstalledClientVersion(state, "ivra-demo", "1.0.0");
        QCOMPARE(clientInstallStateFor(state, "ivra-demo").activeVersion, QStringLiteral("1.0.0"));
        QCOMPARE(clientInstallStateFor(state, "ivra-demo").previousVersion, QString());
        recordInstalledClientVersion(state, "ivra-demo", "1.0.0");
        QCOMPARE(clientInstallStateFor(state, "ivra-demo").previousVersion, QString());
        recordInstalledClientVersion(state, "ivra-demo", "1.1.0");
        QCOMPARE(clientInstallStateFor(state, "ivra-demo").activeVersion, QStringLiteral("1.1.0"));
        QCOMPARE(clientInstallStateFor(state, "ivra-demo").previousVersion,
                 QStringLiteral("1.0.0"));
        recordInstalledClientVersion(state, "ivra-demo", "1.0.0"); // back to the previous: a swap
        QCOMPARE(clientInstallStateFor(state, "ivra-demo").activeVersion, QStringLiteral("1.0.0"));
        QCOMPARE(clientInstallStateFor(state, "ivra-demo").previousVersion,
                 QStringLiteral("1.1.0"));

        const GatewayState before = state;
        recordInstalledClientVersion(state, "  ", "2.0.0");
        recordInstalledClientVersion(state, "ivra-demo", " ");
        QCOMPARE(state.clients.keys(), before.clients.keys());
        QCOMPARE(clientInstallStateFor(state, "ivra-demo").activeVersion, QStringLiteral("1.0.0"));
        QCOMPARE(clientInstallStateFor(state, "IVRA-DEMO").activeVersion, QString()); // exact keys
    }

    void retainedVersions()
    {
        GatewayState state;
        QCOMPARE(retainedClientVersions(state, "ivra-demo"), QStringList());
        state.clients.insert("ivra-demo", {"1.1.0", "1.1.0"});
        QCOMPARE(retainedClientVersions(state, "ivra-demo"), QStringList{"1.1.0"});
        state.clients.insert("ivra-demo", {"1.1.0", "1.0.0"});
        QCOMPARE(retainedClientVersions(state, "ivra-demo"), (QStringList{"1.1.0", "1.0.0"}));
        state.clients.insert("ivra-demo", {" ", "1.0.0"});
        QCOMPARE(retainedClientVersions(state, "ivra-demo"), QStringList{"1.0.0"});
    }

    void upgradeDismissal()
    {
        GatewayState state;
        QVERIFY(isUpgradeOfferDue("demo", offer("3.1.0"), state));
        QVERIFY(!isUpgradeOfferDue("full", offer("3.1.0"), state));
        QVERIFY(!isUpgradeOfferDue("demo", offer("3.1"), state));
        QVERIFY(!isUpgradeOfferDue("demo", offer("3.1.0", "  "), state));
        QVERIFY(!isUpgradeOfferDue("demo", GatewayRelease(), state));

        rememberDismissedUpgrade(state, " Demo ", offer("3.1.0"));
        QCOMPARE(state.dismissedUpgradeMajorByEdition, (QMap<QString, QString>{{"demo", "3"}}));
        QVERIFY(!isUpgradeOfferDue("demo", offer("3.9.9"), state));
        QVERIFY(isUpgradeOfferDue("demo", offer("4.0.0"), state));
        QVERIFY(isUpgradeOfferDue("demo", offer("2.0.0"), state));

        rememberDismissedUpgrade(state, "demo", offer("not a version"));
        rememberDismissedUpgrade(state, "full", offer("7.0.0"));
        QCOMPARE(state.dismissedUpgradeMajorByEdition, (QMap<QString, QString>{{"demo", "3"}}));

        state.dismissedUpgradeMajorByEdition.insert("demo", "03");
        QVERIFY(isUpgradeOfferDue("demo", offer("3.1.0"), state)); // text, not number
        state.dismissedUpgradeMajorByEdition.insert("demo", "02");
        QVERIFY(isUpgradeOfferDue("demo", offer("2.0.0"), state));
    }
};

QTEST_GUILESS_MAIN(StorageTest)
#include "tst_storage.moc"
