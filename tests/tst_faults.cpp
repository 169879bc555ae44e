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
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
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
        // Launch only to play the installed client offline.
        QCOMPARE(isShown(&window, "launchButton"), isShown(&window, "offlineLabel"));
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

    // A full disk is reported at the first write that fails, not after the transfer.
    void downloadFolderFillsUp()
    {
        TestResponse slow{200, package};
        slow.trickleBytes = 512 * 1024;
        slow.trickleIntervalMs = 500;
        servePackage(slow);
        FileSizeLimit limit(1 << 20);
        MainWindow window;
        QElapsedTimer timer;
        timer.start();
        expectCleanFailure(window, QStringLiteral("Unable to write download file: "));
        // Half of the trickled transfer at most: the write failure stopped it.
        QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!QFileInfo::exists(download()));
    }

    // A download cut at 50 % continues on Retry with Range and If-Range where
    // it stopped; a server that ignores Range, or a file that changed behind
    // the same URL, starts again from zero. Each ends installed.
    void resumedDownloads_data()
    {
        QTest::addColumn<QString>("server");
        QTest::newRow("resumes") << "ranges";
        QTest::newRow("server ignores Range") << "ignores";
        QTest::newRow("artifact changed") << "changed";
    }

    void resumedDownloads()
    {
        QFETCH(QString, server);
        const qint64 half = package.size() / 2;
        int answers = 0;
        qint64 served = 0;
        QByteArray current = package;
        QByteArray etag = "\"v1\"";
        servePackage(TestResponse{});
        this->server.route(kPackagePath, [&](const RecordedRequest &request) {
            TestResponse response{200, current};
            response.extraHeaders = {"ETag: " + etag};
            const QByteArray range = request.headers.value("range");
            if (answers++ == 0) {
                response.dropAfterBytes = half;
                response.reset = true;
                served += half;
                return response;
            }
            if (server == "ranges" && range.startsWith("bytes=") &&
                request.headers.value("if-range") == etag) {
                const qint64 from = range.mid(6, range.size() - 7).toLongLong();
                response.status = 206;
                response.body = current.mid(from);
                response.extraHeaders << "Content-Range: bytes " + QByteArray::number(from) + "-" +
                                             QByteArray::number(current.size() - 1) + "/" +
                                             QByteArray::number(current.size());
            }
            served += response.body.size();
            return response;
        });
        const int logStart = logLines().size();
        MainWindow window;
        QTRY_VERIFY(statusText(&window).startsWith(kNetworkFailure));
        const qint64 kept = QFileInfo(download() + ".part").size();
        QVERIFY(kept > 0);

        if (server == "changed") {
            // A new build was uploaded under the same name: new bytes, new ETag, new manifest.
            current = buildZip(
                {{"bin/client", "#!/bin/sh\n"}, {"data/other.bin", package.left(2 << 20)}});
            etag = "\"v2\"";
            this->server.route(kClientPath, jsonResponse(clientManifest(
                                                {{"latestVersion", "2.0.0"}},
                                                {{"url", "http://releases.test" + kPackagePath},
                                                 {"sha256", sha256Hex(current)},
                                                 {"sizeBytes", current.size()}})));
        }
        button(&window, "downloadButton")->click();
        QTRY_COMPARE(statusText(&window), kReady);
        const RecordedRequest retry = this->server.requests().last();
        QCOMPARE(retry.path, kPackagePath);
        QVERIFY(retry.headers.value("range").startsWith("bytes="));
        QCOMPARE(retry.headers.value("if-range"), QByteArray("\"v1\""));
        const QStringList log = logLinesSince(logStart);
        QCOMPARE(log.filter(QRegularExpression("info Resuming client zip from byte \\d+: ")).size(),
                 1);
        QCOMPARE(retry.headers.value("range"), "bytes=" + QByteArray::number(kept) + "-");
        if (server == "ranges") {
            // What was kept was not fetched again: only the lost tail of the reset was.
            QCOMPARE(served - half, qint64(package.size()) - kept);
        } else {
            QCOMPARE(log.filter("did not resume (HTTP 200): starting again from byte 0").size(), 1);
            QCOMPARE(readFile(downloadsPath() + "/ivra-demo/ivra-demo_2.0.0.zip"), current);
        }
        QVERIFY(!QFileInfo::exists(download() + ".part"));
        QVERIFY(!QFileInfo::exists(download() + ".part.resume"));
    }

    // More bytes than the manifest declares: stopped at once, nothing kept.
    void moreBytesThanDeclared()
    {
        TestResponse endless{200, package + QByteArray(4 << 20, 'x')};
        servePackage(endless);
        MainWindow window;
        expectCleanFailure(
            window, QStringLiteral("Downloaded IVRA client size mismatch. Expected %1 bytes, "
                                   "received ")
                        .arg(package.size()));
        const qint64 received =
            statusText(&window).section("received ", 1).section(' ', 0, 0).toLongLong();
        QVERIFY(received > package.size() && received < package.size() + (2 << 20));
    }

    // The install runs off the window's thread: the window keeps answering, and
    // Exit during it closes at once, leaving no staging and no version folder.
    void installKeepsTheWindowAnswering()
    {
        QList<ZipEntry> entries{{"bin/client", "#!/bin/sh\n"}};
        for (int i = 0; i < 6000; ++i)
            entries.append(
                {QByteArray("data/") + QByteArray::number(i % 60) + "/f" + QByteArray::number(i),
                 QByteArray(16 * 1024, char('a' + i % 26))});
        const QByteArray large = buildZip(entries);
        for (const bool exitMidway : {false, true}) {
            freshDataRoot();
            QVERIFY(setUpWorkingInstall("1.0.0", "working install"));
            servePackage(TestResponse{200, large});
            server.route(kClientPath, jsonResponse(clientManifest(
                                          {{"latestVersion", "2.0.0"}},
                                          {{"url", "http://releases.test" + kPackagePath},
                                           {"sha256", sha256Hex(large)},
                                           {"sizeBytes", large.size()}})));
            auto *window = new MainWindow;
            window->show();
            QTRY_COMPARE(statusText(window), QStringLiteral("Installing IVRA..."));
            QElapsedTimer gap;
            gap.start();
            qint64 longest = 0;
            bool progressed = false;
            while (statusText(window) == QStringLiteral("Installing IVRA...")) {
                QTest::qWait(5);
                longest = qMax(longest, gap.restart());
                progressed = progressed || progressBar(window)->value() > 0;
                if (exitMidway && progressed)
                    break;
            }
            if (!exitMidway) {
                QCOMPARE(statusText(window), kReady);
                QVERIFY(progressed);
                // A freeze, not a time a loaded machine can miss: the 100 ms
                // figure is the benchmark's (bench/run.sh).
                QVERIFY2(longest < 2000, qPrintable(QString::number(longest)));
                delete window;
                continue;
            }
            QElapsedTimer closing;
            closing.start();
            button(window, "exitButton")->click();
            QVERIFY(!window->isVisible());
            delete window;
            QVERIFY2(closing.elapsed() < 5000, qPrintable(QString::number(closing.elapsed())));
            QVERIFY(!QFileInfo::exists(clientVersionPath(kProduct, "2.0.0")));
            QVERIFY(!QFileInfo::exists(clientStagingPath(kProduct, "2.0.0")));
            QCOMPARE(readFile(gatewayStatePath()), stateBefore);
        }
    }
};

QTEST_MAIN(FaultTest)
#include "tst_faults.moc"
