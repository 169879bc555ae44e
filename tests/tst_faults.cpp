// Faults around the update pass, through the real window: the network breaks
// off, lies about lengths or trickles; the disk refuses writes or fills up.
// Each must end in its message with Retry, with no ".part" file, no new
// install, the working install and the state file as they were.
#include "storage/paths.h"
#include "support/testserver.h"
#include "support/testutil.h"
#include "support/zipwriter.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>

using namespace TestUtil;

Q_DECLARE_METATYPE(TestResponse)

namespace {
const QString kPackagePath = QStringLiteral("/releases/clients/ivra-demo-2.0.0.zip");
const QString kNetworkFailure = QStringLiteral("Unable to download release data: ");
const QString kReady = QStringLiteral("IVRA ENGINE 2.0 Beta is ready.");

QString download()
{
    return downloadsPath() + "/ivra-demo/ivra-demo_2.0.0.zip";
}
} // namespace

class FaultTest : public QObject
{
    Q_OBJECT

private:
    TestServer server;
    QByteArray package; // 3 MiB, mostly random, so that it cannot shrink in transit
    QByteArray stateBefore;

    void servePackage(const TestResponse &response)
    {
        server.route(kClientPath,
                     jsonResponse(clientManifest({{"latestVersion", "2.0.0"}},
                                                 {{"url", "http://releases.test" + kPackagePath},
                                                  {"sha256", sha256Hex(package)},
                                                  {"sizeBytes", package.size()}})));
        server.route(kPackagePath, response);
    }

    // The message, Retry, and nothing of the failed attempt left that could
    // be taken for an install.
    void expectCleanFailure(MainWindow &window, const QString &messageStart, int timeoutMs = 10000)
    {
        QTRY_VERIFY_WITH_TIMEOUT(statusText(&window).startsWith(messageStart), timeoutMs);
        QVERIFY(isShown(&window, "downloadButton"));
        QVERIFY(!isShown(&window, "launchButton"));
        QVERIFY(!QFileInfo::exists(download() + ".part"));
        QVERIFY(!QFileInfo::exists(clientVersionPath(kProduct, "2.0.0")));
        QVERIFY(!QFileInfo::exists(clientStagingPath(kProduct, "2.0.0")));
        QCOMPARE(readFile(clientVersionPath(kProduct, "1.0.0") + "/bin/client"),
                 QByteArray("working install"));
        QCOMPARE(readFile(gatewayStatePath()), stateBefore);
    }

private Q_SLOTS:
    void initTestCase()
    {
        installTestLogging();
        server.installAsProxy();
        QByteArray noise(3 << 20, Qt::Uninitialized);
        QRandomGenerator generator(8);
        generator.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        package = buildZip({{"bin/client", "#!/bin/sh\n"}, {"data/noise.bin", noise}});
    }

    void init()
    {
        freshDataRoot();
        server.clearRoutes();
        server.route(kGatewayPath, jsonResponse(gatewayManifest()));
        QVERIFY(setUpWorkingInstall("1.0.0", "working install"));
        stateBefore = readFile(gatewayStatePath());
    }

    void networkFaults_data()
    {
        QTest::addColumn<TestResponse>("response");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("timeoutMs");
        const qint64 size = package.size();
        for (const int percent : {0, 50, 99}) {
            TestResponse reset{200, package};
            reset.dropAfterBytes = size * percent / 100;
            reset.reset = true;
            QTest::addRow("reset at %d %%", percent) << reset << kNetworkFailure << 10000;
        }
        TestResponse fewer{200, package};
        fewer.announcedLength = size + 4096; // the connection closes 4 KiB early
        QTest::newRow("fewer bytes than Content-Length") << fewer << kNetworkFailure << 10000;
        TestResponse more{200, package};
        more.announcedLength = size - 4096; // HTTP stops at the length, the file falls short
        QTest::newRow("more bytes than Content-Length")
            << more
            << QStringLiteral("Downloaded IVRA client size mismatch. Expected %1 bytes, "
                              "received %2 bytes.")
                   .arg(size)
                   .arg(size - 4096)
            << 10000;
        TestResponse trickle{200, package};
        trickle.trickleBytes = 8;
        trickle.trickleIntervalMs = 1000;
        QTest::newRow("trickle of 8 bytes a second")
            << trickle << kNetworkFailure << kDownloadStallWindowMs + 10000;
    }

    // Each fault ends cleanly, and Retry then installs once the server behaves.
    void networkFaults()
    {
        QFETCH(TestResponse, response);
        QFETCH(QString, message);
        QFETCH(int, timeoutMs);
        servePackage(response);
        MainWindow window;
        expectCleanFailure(window, message, timeoutMs);
        if (message == kNetworkFailure && timeoutMs > 10000)
            QVERIFY(
                logLines().filter("Download stalled: fewer than 1024 bytes in 30000 ms").size() ==
                1);

        servePackage(TestResponse{200, package});
        button(&window, "downloadButton")->click();
        QTRY_COMPARE(statusText(&window), kReady);
        QCOMPARE(clientInstallStateFor(loadGatewayState(gatewayStatePath()).state, kProduct)
                     .activeVersion,
                 QStringLiteral("2.0.0"));
    }

    void readOnlyDataRoot()
    {
        servePackage(TestResponse{200, package});
        QVERIFY(lockPath(dataRootPath()));
        {
            MainWindow window;
            expectCleanFailure(window, QStringLiteral("Unable to create download directory: %1")
                                           .arg(downloadsPath() + "/ivra-demo"));
        }
        unlockPath(dataRootPath());
    }

    void stateFilePathIsAFolder()
    {
        servePackage(TestResponse{200, package});
        QVERIFY(QFile::remove(gatewayStatePath()) && QDir().mkpath(gatewayStatePath()));
        MainWindow window;
        QTRY_VERIFY(statusText(&window).startsWith(
            QStringLiteral("Unable to write gateway state '%1': ").arg(gatewayStatePath())));
        QVERIFY(isShown(&window, "downloadButton"));
        QVERIFY(!isShown(&window, "launchButton"));
        // The install itself is complete; it is adopted once the state can be saved.
        QVERIFY(QFileInfo(clientVersionPath(kProduct, "2.0.0") + "/bin/client").isFile());
        QVERIFY(!QFileInfo::exists(clientStagingPath(kProduct, "2.0.0")));
        QVERIFY(QFileInfo(gatewayStatePath()).isDir());
        QCOMPARE(readFile(clientVersionPath(kProduct, "1.0.0") + "/bin/client"),
                 QByteArray("working install"));
    }

    void downloadFolderFillsUp()
    {
        servePackage(TestResponse{200, package});
        FileSizeLimit limit(1 << 20);
        MainWindow window;
        expectCleanFailure(window,
                           QStringLiteral("Downloaded IVRA client size mismatch. Expected %1 "
                                          "bytes, received ")
                               .arg(package.size()));
        // What arrived is kept for inspection, never unpacked.
        QVERIFY(QFileInfo(download()).size() <= 1 << 20);
    }
};

QTEST_MAIN(FaultTest)
#include "tst_faults.moc"
