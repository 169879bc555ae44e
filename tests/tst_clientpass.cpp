// The client side of the update pass through the real window: the client
// decision, the package download, the install transaction, launch and the
// upgrade offer, against a local test server and real ZIP packages.
#include "install/installrecord.h"
#include "storage/paths.h"
#include "support/testserver.h"
#include "support/testutil.h"
#include "support/zipwriter.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace TestUtil;

namespace {
const QString kPackagePath = QStringLiteral("/releases/clients/package.zip");

QString versionFolder(const QString &version)
{
    return clientVersionPath(kProduct, version);
}

// Puts an unpacked install of a version on disk, as an earlier run would have.
void installOnDisk(const QString &version)
{
    writeFile(versionFolder(version) + "/bin/client", "#!/bin/sh\n");
}

void recordState(const QString &active, const QString &previous = QString())
{
    GatewayState state;
    state.clients.insert(kProduct, {active, previous});
    saveGatewayState(gatewayStatePath(), state);
}

QStringList productFolderEntries()
{
    return QDir(clientProductPath(kProduct))
        .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}
} // namespace

class ClientPassTest : public QObject
{
    Q_OBJECT

private:
    TestServer server;
    QByteArray package; // bin/client is the recorder, made by the zip tool

    // Serves a client manifest for the package, with field overrides.
    void serveClient(const QString &version, const QByteArray &zip, QJsonObject fields = {},
                     QJsonObject artifact = {}, QJsonObject launch = {})
    {
        fields.insert("latestVersion", version);
        if (!fields.contains("minimumVersion"))
            fields.insert("minimumVersion", "1.0.0");
        if (!artifact.contains("url"))
            artifact.insert("url", "http://releases.test" + kPackagePath);
        if (!artifact.contains("sha256"))
            artifact.insert("sha256", sha256Hex(zip));
        if (!artifact.contains("sizeBytes"))
            artifact.insert("sizeBytes", zip.size());
        server.route(kClientPath, jsonResponse(clientManifest(fields, artifact, launch)));
        server.route(kPackagePath, TestResponse{200, zip});
    }

    void expectReady(MainWindow &window)
    {
        QTRY_COMPARE(statusText(&window), QStringLiteral("IVRA ENGINE 2.0 Beta is ready."));
        QVERIFY(isShown(&window, "launchButton"));
        QVERIFY(button(&window, "launchButton")->isEnabled());
        QVERIFY(!isShown(&window, "downloadButton"));
        QVERIFY(!isShown(&window, "progressBar"));
    }

    void expectFailure(MainWindow &window, const QString &message, bool retry)
    {
        QTRY_COMPARE(statusText(&window), message);
        QCOMPARE(isShown(&window, "downloadButton"), retry);
        QVERIFY(!isShown(&window, "launchButton"));
    }

    QString activeVersion() const
    {
        return clientInstallStateFor(loadGatewayState(gatewayStatePath()).state, kProduct)
            .activeVersion;
    }
    QString previousVersion() const
    {
        return clientInstallStateFor(loadGatewayState(gatewayStatePath()).state, kProduct)
            .previousVersion;
    }

private Q_SLOTS:
    void initTestCase()
    {
        installTestLogging();
        server.installAsProxy();
        QTemporaryDir source;
        QVERIFY(QDir().mkpath(source.filePath("bin")));
        QVERIFY(QFile::copy(recorderPath(), source.filePath("bin/client")));
        QVERIFY(writeFile(source.filePath("data/readme.txt"), "hello"));
        const QString zipPath = source.filePath("package.zip");
        QProcess zip;
        zip.setWorkingDirectory(source.path());
        zip.start("zip", {"-qr", zipPath, "bin", "data"});
        QVERIFY(zip.waitForFinished() && zip.exitCode() == 0);
        package = readFile(zipPath);
        QVERIFY(!package.isEmpty());
    }

    void init()
    {
        freshDataRoot();
        server.clearRoutes();
        server.clearRequests();
        server.route(kGatewayPath, jsonResponse(gatewayManifest()));
    }

    void freshMachineDownloadsAndInstalls()
    {
        serveClient("1.0.0", package);
        MainWindow window;
        expectReady(window);
        QCOMPARE(server.requestCount(kPackagePath), 1);
        QCOMPARE(server.requests().last().userAgents, QList<QByteArray>{"IvraGateway/2026.1024.1"});
        QCOMPARE(window.findChild<QLabel *>("requiredVersionValue")->text(),
                 QStringLiteral("1.0.0"));
        QCOMPARE(readFile(downloadsPath() + "/ivra-demo/ivra-demo_1.0.0.zip"),
                 package); // kept after install
        QVERIFY(QFileInfo(versionFolder("1.0.0") + "/bin/client").isExecutable());
        QCOMPARE(readFile(versionFolder("1.0.0") + "/data/readme.txt"), QByteArray("hello"));
        QCOMPARE(productFolderEntries(), (QStringList{"1.0.0", "1.0.0.record"}));
        QCOMPARE(activeVersion(), QStringLiteral("1.0.0"));
        QCOMPARE(previousVersion(), QString());
    }

    void activeAndPresentIsReadyWithoutWriting()
    {
        installOnDisk("1.0.0");
        QVERIFY(recordOnDisk(kProduct, "1.0.0"));
        recordState("1.0.0");
        const QByteArray stateBefore = readFile(gatewayStatePath());
        const QDateTime modified = QFileInfo(gatewayStatePath()).lastModified();
        serveClient("1.0.0", package);
        MainWindow window;
        expectReady(window);
        QCOMPARE(server.requestCount(kPackagePath), 0);
        QCOMPARE(readFile(gatewayStatePath()), stateBefore);
        QCOMPARE(QFileInfo(gatewayStatePath()).lastModified(), modified);
    }

    // After a power cut an install may be there by name only: its files or
    // its record empty. Such a version, and one with no record to check it
    // against, is never offered or adopted as it is: it is downloaded again.
    void notWholeIsRepairedBeforeLaunch_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("active");
        QTest::newRow("launch file empty") << "empty launch file"
                                           << "1.0.0";
        QTest::newRow("record empty") << "empty record"
                                      << "1.0.0";
        QTest::newRow("no record") << "no record"
                                   << "1.0.0";
        QTest::newRow("unpacked latest with no record") << "no record"
                                                        << "0.9.0";
    }
    void notWholeIsRepairedBeforeLaunch()
    {
        QFETCH(QString, damage);
        QFETCH(QString, active);
        installOnDisk("1.0.0");
        QVERIFY(recordOnDisk(kProduct, "1.0.0"));
        const QString record = installRecordPath(clientProductPath(kProduct), "1.0.0");
        if (damage == "empty launch file")
            QVERIFY(writeFile(versionFolder("1.0.0") + "/bin/client", QByteArray()));
        else if (damage == "empty record")
            QVERIFY(writeFile(record, QByteArray()));
        else
            QVERIFY(QFile::remove(record));
        recordState(active);
        serveClient("1.0.0", package);
        MainWindow window;
        expectReady(window);
        QCOMPARE(server.requestCount(kPackagePath), 1);
        QCOMPARE(readFile(versionFolder("1.0.0") + "/data/readme.txt"), QByteArray("hello"));
        QCOMPARE(readInstallRecord(record).error, QString());
        QCOMPARE(activeVersion(), QStringLiteral("1.0.0"));
    }

    void activeWithoutExecutableDownloadsAgain()
    {
        QVERIFY(QDir().mkpath(versionFolder("1.0.0") + "/bin"));
        recordState("1.0.0");
        serveClient("1.0.0", package);
        MainWindow window;
        expectReady(window);
        QCOMPARE(server.requestCount(kPackagePath), 1);
        QVERIFY(QFileInfo(versionFolder("1.0.0") + "/bin/client").isFile());
        QCOMPARE(previousVersion(), QString()); // same version again: no previous
    }

    void unpackedLatestIsAdoptedWithoutDownload()
    {
        installOnDisk("0.9.0");
        installOnDisk("1.0.0");
        installOnDisk("1.1.0");
        QVERIFY(recordOnDisk(kProduct, "1.1.0"));
        recordState("1.0.0", "0.9.0");
        serveClient("1.1.0", package);
        MainWindow window;
        expectReady(window);
        QCOMPARE(server.requestCount(kPackagePath), 0);
        QCOMPARE(activeVersion(), QStringLiteral("1.1.0"));
        QCOMPARE(previousVersion(), QStringLiteral("1.0.0"));
        QCOMPARE(productFolderEntries(), (QStringList{"1.0.0", "1.1.0", "1.1.0.record"}));
    }

    void downgradeToTheManifestVersion()
    {
        installOnDisk("2.0.0");
        recordState("2.0.0");
        serveClient("1.5.0", package);
        MainWindow window;
        expectReady(window);
        QCOMPARE(server.requestCount(kPackagePath), 1);
        QCOMPARE(activeVersion(), QStringLiteral("1.5.0"));
        QCOMPARE(previousVersion(), QStringLiteral("2.0.0"));
    }

    void inconsistentManifestsWithoutRetry_data()
    {
        QTest::addColumn<QJsonObject>("fields");
        QTest::addColumn<QString>("message");
        QTest::newRow("other product")
            << QJsonObject{{"product", "ivra-full"}}
            << "Client manifest product 'ivra-full' does not match this Gateway build 'ivra-demo'.";
        QTest::newRow("case matters")
            << QJsonObject{{"product", "IVRA-demo"}}
            << "Client manifest product 'IVRA-demo' does not match this Gateway build 'ivra-demo'.";
        QTest::newRow("bad minimum") << QJsonObject{{"minimumVersion", "1.0"}}
                                     << "Client manifest contains invalid version data.";
        QTest::newRow("below minimum")
            << QJsonObject{{"minimumVersion", "1.3.0"}}
            << "Client manifest latest version is below minimum version.";
    }
    void inconsistentManifestsWithoutRetry()
    {
        QFETCH(QJsonObject, fields);
        QFETCH(QString, message);
        serveClient("1.2.3", package, fields);
        MainWindow window;
        expectFailure(window, message, false);
        QCOMPARE(window.findChild<QLabel *>("requiredVersionValue")->text(),
                 QStringLiteral("1.2.3"));
        QCOMPARE(server.requestCount(kPackagePath), 0);
        QVERIFY(!QFileInfo::exists(dataRootPath() + "/clients"));
    }

    void unreadableManifestWithRetry()
    {
        server.route(kClientPath, jsonResponse("[1, 2]"));
        MainWindow window;
        expectFailure(
            window,
            QStringLiteral(
                "Unable to read IVRA client manifest: Client release JSON root must be an object."),
            true);
        QVERIFY(logLines()
                    .filter(QStringLiteral(" warning Client manifest parse failed: Client release "
                                           "JSON root must be an object., body=[1, 2]"))
                    .size() >= 1);
    }

    void artifactChecks()
    {
        serveClient("1.0.0", package, {}, {{"url", "not a url"}});
        {
            MainWindow window;
            expectFailure(window, QStringLiteral("IVRA client artifact URL is invalid."), false);
        }
        const QString target = downloadsPath() + "/ivra-demo/ivra-demo_1.0.0.zip";
        serveClient("1.0.0", package, {}, {{"sizeBytes", package.size() + 1}});
        {
            MainWindow window;
            expectFailure(
                window,
                QStringLiteral(
                    "Downloaded IVRA client size mismatch. Expected %1 bytes, received %2 bytes.")
                    .arg(package.size() + 1)
                    .arg(package.size()),
                true);
            QCOMPARE(readFile(target), package); // kept
        }
        serveClient("1.0.0", package, {}, {{"sha256", QString(64, 'F')}, {"sizeBytes", 0}});
        {
            MainWindow window;
            expectFailure(
                window,
                QStringLiteral("IVRA client zip checksum mismatch. Expected %1, received %2.")
                    .arg(QString(64, 'F'), sha256Hex(package)),
                true);
            QVERIFY(!QFile::exists(target)); // removed
            QVERIFY(!QFile::exists(target + ".part"));
        }
        // Size 0 switches the size check off; an upper-case digest matches.
        serveClient("1.0.0", package, {},
                    {{"sha256", sha256Hex(package).toUpper()}, {"sizeBytes", 0}});
        MainWindow window;
        expectReady(window);
    }

    // Staging folders of other versions and leftovers of an earlier prune go too.
    void pruneKeepsActivePreviousAndFiles()
    {
        for (const char *version : {"1.0.0", "1.1.0", "1.2.0"})
            installOnDisk(version);
        QVERIFY(QDir().mkpath(clientStagingPath(kProduct, "0.5.0")));
        QVERIFY(writeFile(clientProductPath(kProduct) + "/.trash-0.4.0-0badf00d/bin/client", "x"));
        QVERIFY(writeFile(clientProductPath(kProduct) + "/notes.txt", "keep me"));
        // A record whose writing a crash cut short.
        QVERIFY(writeFile(clientProductPath(kProduct) + "/1.1.0.record.0badf00d.tmp", "IVRA-"));
        recordState("1.1.0", "1.0.0");
        serveClient("1.3.0", package);
        const int logStart = logLines().size();
        MainWindow window;
        expectReady(window);
        QCOMPARE(productFolderEntries(),
                 (QStringList{"1.1.0", "1.3.0", "1.3.0.record", "notes.txt"}));
        const QStringList pruned = logLinesSince(logStart).filter(" info Pruned client folder: ");
        QCOMPARE(pruned.size(), 4);
        QCOMPARE(activeVersion(), QStringLiteral("1.3.0"));
        QCOMPARE(previousVersion(), QStringLiteral("1.1.0"));
    }

    void pruneGoesOnPastAFolderItCannotRemove()
    {
        installOnDisk("0.8.0");
        installOnDisk("0.9.0");
        installOnDisk("1.0.0");
        recordState("1.0.0", "0.9.0");
        const QString locked = versionFolder("0.8.0") + "/bin"; // its entries cannot be removed
        QVERIFY(lockPath(locked));
        serveClient("1.1.0", package);
        bool ready = false;
        {
            MainWindow window;
            QTRY_COMPARE(statusText(&window), QStringLiteral("IVRA ENGINE 2.0 Beta is ready."));
            ready = true;
        }
        // What could not be removed waits under a hidden name: it is never adopted as whole.
        const QStringList entries = productFolderEntries();
        unlockPath(locked);
        unlockPath(clientProductPath(kProduct) + "/" + entries.value(0) + "/bin");
        QVERIFY(ready);
        QCOMPARE(entries.size(), 4);
        QVERIFY2(entries.at(0).startsWith(".trash-0.8.0-"), qPrintable(entries.join(' ')));
        QCOMPARE(entries.mid(1), (QStringList{"1.0.0", "1.1.0", "1.1.0.record"}));
        const QStringList warnings =
            logLines().filter(QStringLiteral(" warning Unable to prune old client install: "));
        QVERIFY(!warnings.isEmpty());
        QVERIFY(warnings.last().endsWith(
            QStringLiteral("Unable to prune old client install: Unable to remove directory: %1/%2.")
                .arg(clientProductPath(kProduct), entries.at(0))));
        // Serving 0.8.0 again downloads it; the leftover goes at the next prune.
        serveClient("0.8.0", package, {{"minimumVersion", "0.8.0"}});
        {
            MainWindow window;
            expectReady(window);
        }
        QCOMPARE(server.requestCount(kPackagePath), 2);
        QCOMPARE(productFolderEntries(),
                 (QStringList{"0.8.0", "0.8.0.record", "1.1.0", "1.1.0.record"}));
    }

    // Three updates in a row: the data folder keeps the kept versions' packages
    // and nothing else of the product, and no older Gateway installer.
    void dataFolderStaysBounded()
    {
        const QString downloads = downloadsPath() + "/ivra-demo/";
        QVERIFY(writeFile(downloads + "ivra-demo_0.9.0.zip", "old package"));
        QVERIFY(writeFile(downloads + "ivra-demo_0.9.5.zip.part", "partial"));
        QVERIFY(writeFile(downloads + "other-file.txt", "not ours to judge"));
        QVERIFY(
            writeFile(downloadsPath() + "/gateway/IvraGateway_demo_2026.1024.0_Setup.exe", "x"));
        QVERIFY(writeFile(downloadsPath() + "/gateway/IvraGateway_demo_2026.1024.1_Setup.exe.part",
                          "x"));
        QVERIFY(
            writeFile(downloadsPath() + "/gateway/IvraGateway_demo_2026.1030.0_Setup.exe", "x"));
        QVERIFY(QDir().mkpath(clientStagingPath(kProduct, "1.0.5")));
        for (const char *version : {"1.0.0", "1.1.0", "1.2.0"}) {
            serveClient(version, package);
            MainWindow window;
            expectReady(window);
        }
        QDirIterator it(dataRootPath(),
                        QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        QStringList listing;
        while (it.hasNext()) {
            const QString path = QDir(dataRootPath()).relativeFilePath(it.next());
            if (!path.contains("/bin") && !path.contains("/data"))
                listing << path;
        }
        listing.sort();
        QCOMPARE(listing,
                 (QStringList{"clients", "clients/ivra-demo", "clients/ivra-demo/1.1.0",
                              "clients/ivra-demo/1.1.0.record", "clients/ivra-demo/1.2.0",
                              "clients/ivra-demo/1.2.0.record", "downloads", "downloads/gateway",
                              "downloads/gateway/IvraGateway_demo_2026.1030.0_Setup.exe",
                              "downloads/ivra-demo", "downloads/ivra-demo/ivra-demo_1.1.0.zip",
                              "downloads/ivra-demo/ivra-demo_1.2.0.zip",
                              "downloads/ivra-demo/other-file.txt", "gateway-state.json"}));
        QVERIFY(logLines().filter(" info Removed obsolete download: ").size() >= 5);
    }

    void installFailuresLeaveNoHalfInstall_data()
    {
        QTest::addColumn<QByteArray>("zip");
        QTest::addColumn<QString>("exePath");
        QTest::addColumn<QString>("message");
        QTest::newRow("launch file missing")
            << buildZip({ZipEntry{"other/file", "x"}}) << "bin/client"
            << "Client executable was not found: <staging>/bin/client.";
        QTest::newRow("unsafe entry")
            << buildZip({ZipEntry{"bin/client", "x"}, ZipEntry{"../escape", "x"}}) << "bin/client"
            << "Unsafe zip entry path: ../escape.";
        QTest::newRow("not a zip") << QByteArray("this is not an archive") << "bin/client"
                                   << "Unable to open zip payload: <package>.";
        QTest::newRow("absolute launch path")
            << buildZip({ZipEntry{"bin/client", "x"}}) << "/bin/client"
            << "Client launch path must be relative: /bin/client.";
    }
    void installFailuresLeaveNoHalfInstall()
    {
        QFETCH(QByteArray, zip);
        QFETCH(QString, exePath);
        QFETCH(QString, message);
        installOnDisk("1.0.0");
        recordState("1.0.0");
        const QByteArray stateBefore = readFile(gatewayStatePath());
        serveClient("1.1.0", zip, {}, {}, {{"exePath", exePath}});
        MainWindow window;
        message.replace("<staging>", clientStagingPath(kProduct, "1.1.0"));
        message.replace("<package>", downloadsPath() + "/ivra-demo/ivra-demo_1.1.0.zip");
        expectFailure(window, message, true);
        QCOMPARE(productFolderEntries(), QStringList{"1.0.0"}); // no staging, no version folder
        QCOMPARE(readFile(gatewayStatePath()), stateBefore);
        QVERIFY(QFile::exists(versionFolder("1.0.0") + "/bin/client"));
    }

    void failedStateSaveKeepsTheVersionFolder()
    {
        serveClient("1.0.0", package);
        QVERIFY(
            QDir().mkpath(gatewayStatePath())); // the save after promotion cannot replace a folder
        MainWindow window;
        window.show();
        QTRY_VERIFY(statusText(&window).startsWith(QStringLiteral("Unable to ")));
        QVERIFY2(statusText(&window).contains(
                     QStringLiteral("gateway state '%1': ").arg(gatewayStatePath())),
                 qPrintable(statusText(&window)));
        QVERIFY(isShown(&window, "downloadButton"));
        QVERIFY(QFileInfo(versionFolder("1.0.0") + "/bin/client").isFile());
        QCOMPARE(productFolderEntries(), (QStringList{"1.0.0", "1.0.0.record"}));

        // Retry works on the in-memory state, which already has 1.0.0 active: ready, nothing
        // downloaded.
        QVERIFY(QDir(gatewayStatePath()).removeRecursively());
        QTest::mouseClick(button(&window, "downloadButton"), Qt::LeftButton);
        expectReady(window);
        QCOMPARE(server.requestCount(kPackagePath), 1);
        // The next start finds the unpacked version, adopts it and saves.
        MainWindow next;
        expectReady(next);
        QCOMPARE(server.requestCount(kPackagePath), 1);
        QCOMPARE(activeVersion(), QStringLiteral("1.0.0"));
    }

    void launchStartsTheClientAndQuits()
    {
        serveClient("1.0.0", package, {}, {},
                    {{"args", QJsonArray{"", " spaced ", "-x", "two words"}}});
        MainWindow window;
        window.show();
        expectReady(window);
        // A package-only release keeps its package.
        QVERIFY(QFileInfo::exists(downloadsPath() + "/ivra-demo/ivra-demo_1.0.0.zip"));
        QTimer::singleShot(0, &window, [&window] {
            QTest::mouseClick(button(&window, "launchButton"), Qt::LeftButton);
        });
        QVERIFY(runUntilQuit(5000));
        const QString record = versionFolder("1.0.0") + "/bin/client.started.json";
        QTRY_VERIFY(QFile::exists(record));
        const QJsonObject started = recorderRecord(record);
        QCOMPARE(started.value("arguments").toArray(),
                 (QJsonArray{"", " spaced ", "-x", "two words"}));
        QCOMPARE(started.value("workingDirectory").toString(), versionFolder("1.0.0") + "/bin");
    }

    // The release service out of reach: the installed client is offered to
    // play offline, unless it is not whole or is below the last minimum.
    void playOffline_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("offline");
        QTest::newRow("service answers 503") << "503" << true;
        QTest::newRow("package download fails") << "package" << true;
        QTest::newRow("a file changed since recorded") << "changed" << false;
        QTest::newRow("below the minimum remembered") << "remembered" << false;
        QTest::newRow("manifest raises the minimum, then fails") << "raised" << false;
    }
    void playOffline()
    {
        QFETCH(QString, fault);
        QFETCH(bool, offline);
        const int logStart = logLines().size();
        QVERIFY(setUpWorkingInstall("1.0.0", recorderBytes()));
        QFile::setPermissions(versionFolder("1.0.0") + "/bin/client",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(recordOnDisk(kProduct, "1.0.0"));
        server.route(kGatewayPath, jsonResponse("busy", 503));
        if (fault == "package" || fault == "raised") {
            server.route(kGatewayPath, jsonResponse(gatewayManifest()));
            serveClient("2.0.0", package,
                        {{"minimumVersion", fault == "raised" ? "2.0.0" : "1.0.0"}});
            server.route(kPackagePath, TestResponse{404, "gone"});
        } else if (fault == "changed") {
            QVERIFY(writeFile(versionFolder("1.0.0") + "/bin/extra-byte", "x"));
            QVERIFY(writeFile(versionFolder("1.0.0") + "/bin/client", recorderBytes() + "x"));
        } else if (fault == "remembered") {
            QVERIFY(writeFile(
                gatewayStatePath(),
                QJsonDocument(
                    QJsonObject{
                        {"clients",
                         QJsonObject{{kProduct, QJsonObject{{"activeVersion", "1.0.0"},
                                                            {"minimumVersion", "1.1.0"}}}}}})
                    .toJson()));
        }
        {
            MainWindow window;
            window.show();
            QTRY_VERIFY(isShown(&window, "downloadButton"));
            QCOMPARE(isShown(&window, "offlineLabel"), offline);
            QCOMPARE(isShown(&window, "launchButton"), offline);
            QCOMPARE(logLinesSince(logStart)
                         .filter("Playing offline: the release service could not be "
                                 "reached. Client 1.0.0 can be launched.")
                         .size(),
                     offline ? 1 : 0);
            if (offline) {
                QTimer::singleShot(0, &window, [&window] {
                    QTest::mouseClick(button(&window, "launchButton"), Qt::LeftButton);
                });
                QVERIFY(runUntilQuit(5000));
                QTRY_VERIFY(QFile::exists(versionFolder("1.0.0") + "/bin/client.started.json"));
            }
        }
        // Raised and failed: the next pass, with the service down, offers nothing either.
        if (fault == "raised") {
            server.route(kGatewayPath, jsonResponse("busy", 503));
            MainWindow window;
            QTRY_VERIFY(isShown(&window, "downloadButton"));
            QVERIFY(!isShown(&window, "offlineLabel"));
        }
    }

    // A package made by a Windows tool records no Unix mode: the client still
    // launches, once, however often Launch is clicked.
    void windowsPackageLaunchesOnce()
    {
        ZipEntry client;
        client.name = "bin/client";
        client.data = recorderBytes();
        client.madeByUnix = false;
        serveClient("1.0.0", buildZip({client}));
        MainWindow window;
        window.show();
        expectReady(window);
        QVERIFY(!QFileInfo(versionFolder("1.0.0") + "/bin/client").isExecutable());
        const int logStart = logLines().size();
        QTimer::singleShot(0, &window, [&window] {
            QPushButton *launch = button(&window, "launchButton");
            QTest::mouseDClick(launch, Qt::LeftButton);
            QTest::mouseClick(launch, Qt::LeftButton);
        });
        QVERIFY(runUntilQuit(5000));
        QTRY_VERIFY(QFile::exists(versionFolder("1.0.0") + "/bin/client.started.json"));
        QCOMPARE(logLinesSince(logStart).filter(" info Launching client: ").size(), 1);
    }

    // Every ending and decision of a pass is in the log, with the versions compared.
    void outcomesAreLogged()
    {
        installOnDisk("1.0.0");
        recordState("1.0.0");
        serveClient("1.1.0", package, {}, {{"sha256", QString(64, 'a')}});
        const int logStart = logLines().size();
        MainWindow window;
        expectFailure(window,
                      QStringLiteral("IVRA client zip checksum mismatch. Expected %1, received %2.")
                          .arg(QString(64, 'a'), sha256Hex(package)),
                      true);
        const QString log = logLinesSince(logStart).join('\n');
        for (const QString &line :
             {QStringLiteral(" info Gateway is current: build 2026.1024.1, latest 2026.1024.1, "
                             "minimum 2026.1024.1"),
              QStringLiteral(" info Downloading client: active 1.0.0, latest 1.1.0"),
              QStringLiteral(" warning Pass ended: IVRA client zip checksum mismatch. Expected ")})
            QVERIFY2(log.contains(line), qPrintable(log));
        QVERIFY(log.contains(QStringLiteral("(Retry offered)")));
        // The digest cannot wrap, so it breaks: the window keeps its size.
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(450, 270));

        // An extraction failure logs its cause beside the unchanged message.
        ZipEntry crc;
        crc.name = "bin/client";
        crc.data = "#!/bin/sh\n";
        crc.crcOverride = 1;
        const QByteArray broken = buildZip({crc});
        serveClient("1.1.0", broken);
        button(&window, "downloadButton")->click();
        expectFailure(window, QStringLiteral("Unable to extract zip entry: bin/client."), true);
        QVERIFY(logLinesSince(logStart)
                    .filter(QRegularExpression("Extraction of .* failed: "
                                               "Unable to extract zip entry: "
                                               "bin/client. \\(.*CRC.*\\)"))
                    .size() == 1);
    }

    // A data root below a folder with non-ASCII characters, as a user profile may be.
    void nonAsciiDataRoot()
    {
        const QByteArray home = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", home + "/\xc3\x9cser \xd0\x9f\xd1\x80\xd0\xb8");
        serveClient("1.0.0", package);
        {
            MainWindow window;
            expectReady(window);
        }
        const QString installed = versionFolder("1.0.0") + "/data/readme.txt";
        qputenv("XDG_DATA_HOME", home);
        QVERIFY(installed.contains(QString::fromUtf8("\xc3\x9cser")));
        QCOMPARE(readFile(installed), QByteArray("hello"));
    }

    void launchOfADeletedExecutable()
    {
        serveClient("1.0.0", package);
        MainWindow window;
        window.show();
        expectReady(window);
        QVERIFY(QFile::remove(versionFolder("1.0.0") + "/bin/client"));
        QTimer::singleShot(0, &window, [&window] {
            QTest::mouseClick(button(&window, "launchButton"), Qt::LeftButton);
        });
        QVERIFY(!runUntilQuit(500));
        expectFailure(window,
                      QStringLiteral("Unable to launch IVRA executable: %1")
                          .arg(versionFolder("1.0.0") + "/bin/client"),
                      true);
    }

    void upgradeOffer()
    {
        installOnDisk("1.0.0");
        recordState("1.0.0");
        serveClient("1.0.0", package);
        auto offerWith = [this](const QString &fullVersion,
                                const QString &url = "https://ivra.example/full") {
            server.route(
                kGatewayPath,
                jsonResponse(gatewayManifest(
                    {{"upgrade", QJsonObject{{"url", url}, {"fullLatestVersion", fullVersion}}}})));
        };
        auto offerShown = [](MainWindow &window) {
            const bool shown = isShown(&window, "upgradeLabel");
            if (isShown(&window, "upgradeButton") != shown ||
                isShown(&window, "rememberUpgradeButton") != shown)
                qFatal("the offer's three widgets disagree");
            return shown;
        };
        {
            MainWindow window; // no upgrade object
            expectReady(window);
            QVERIFY(!offerShown(window));
        }
        offerWith("3.1.0");
        {
            MainWindow window;
            window.show();
            expectReady(window);
            QVERIFY(offerShown(window));
            QTest::mouseClick(button(&window, "rememberUpgradeButton"), Qt::LeftButton);
            QVERIFY(!offerShown(window));
            QCOMPARE(statusText(&window), QStringLiteral("IVRA ENGINE 2.0 Beta is ready."));
            QVERIFY(isShown(&window, "launchButton"));
            QCOMPARE(loadGatewayState(gatewayStatePath())
                         .state.dismissedUpgradeMajorByEdition.value("demo"),
                     QStringLiteral("3"));
        }
        const QList<std::pair<QString, bool>> cases{
            {"3.9.9", false}, {"4.0.0", true}, {"2.0.0", true}};
        for (const auto &[version, shown] : cases) {
            offerWith(version);
            MainWindow window;
            expectReady(window);
            QVERIFY2(offerShown(window) == shown, qPrintable(version));
        }
        GatewayState state = loadGatewayState(gatewayStatePath()).state;
        state.dismissedUpgradeMajorByEdition.insert("demo", "03");
        QVERIFY(saveGatewayState(gatewayStatePath(), state));
        offerWith("3.1.0");
        {
            MainWindow window;
            expectReady(window);
            QVERIFY(offerShown(window)); // "03" is not "3"
        }
        offerWith("3.1.0", "a b c");
        {
            MainWindow window;
            expectReady(window);
            QVERIFY(!offerShown(window)); // the link makes no valid URL
        }
        offerWith("5.0.0");
        {
            MainWindow window;
            window.show();
            expectReady(window);
            QVERIFY(offerShown(window));
            QVERIFY(QFile::remove(gatewayStatePath()));
            QVERIFY(QDir().mkpath(gatewayStatePath())); // the save cannot replace a folder
            QTest::mouseClick(button(&window, "rememberUpgradeButton"), Qt::LeftButton);
            QVERIFY(statusText(&window).startsWith(QStringLiteral("Unable to ")));
            QVERIFY(statusText(&window).contains(gatewayStatePath()));
            QVERIFY(isShown(&window, "downloadButton"));
            QVERIFY(!offerShown(window));
            QVERIFY(!isShown(&window, "launchButton"));
        }
    }
};

QTEST_MAIN(ClientPassTest)
#include "tst_clientpass.moc"
