// A signed build through the real window: manifests reach their decisions only
// with a valid, fresh signature by a configured key, and every refusal ends the
// pass with nothing downloaded, installed or started.
#include "release/signature.h"
#include "storage/paths.h"
#include "support/testserver.h"
#include "support/testutil.h"
#include "support/zipwriter.h"
#include "ui/mainwindow.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace TestUtil;

namespace {
const QString kKeys = QStringLiteral(IVRA_TEST_KEYS_DIR);
const QString kGatewayFile = QStringLiteral("gateway-demo.json");
const QString kClientFile = QStringLiteral("client-ivra-demo.json");
const QString kPackagePath = QStringLiteral("/releases/clients/ivra-demo_1.1.0.zip");
const QString kInstallerPath = QStringLiteral("/releases/gateway/setup.exe");
constexpr qint64 kDay = 86400;

ReleaseSecretKey testKey(const QString &name)
{
    return readReleaseSecretKey(kKeys + QStringLiteral("/%1.key").arg(name)).key;
}

qint64 now()
{
    return QDateTime::currentSecsSinceEpoch();
}

QByteArray sign(const QByteArray &data, const QString &fileName, qint64 timestamp,
                const QString &key = QStringLiteral("ivra-test-a"))
{
    return signReleaseData(data, testKey(key), defaultTrustedComment(fileName, timestamp));
}

// Signs with the minisign tool itself, as a release engineer using it would.
QByteArray minisign(const QByteArray &data, const QString &fileName)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(fileName);
    writeFile(path, data);
    QProcess tool;
    tool.setStandardInputFile(QProcess::nullDevice());
    tool.start(QStringLiteral("minisign"), {"-S", "-s", kKeys + "/minisign-test.key", "-m", path});
    if (!tool.waitForFinished(20000) || tool.exitCode() != 0)
        qWarning("minisign failed: %s", tool.readAllStandardError().constData());
    return readFile(path + ".minisig");
}

struct ChildRun
{
    int exitCode = -1;
    long peakKiB = 0;
    QByteArray errors;
};

// Runs the signed ivra-update of the test build through the test server (as
// its proxy) and measures the most memory it ever held. A small Python parent
// reports it: a child's peak as seen from the test process would include the
// test process itself, whose memory a vfork-style start hands over at exec.
ChildRun runSignedUpdater(quint16 proxyPort)
{
    QProcess wrapper;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("http_proxy", QStringLiteral("http://127.0.0.1:%1").arg(proxyPort));
    wrapper.setProcessEnvironment(environment);
    wrapper.start("python3", {"-c",
                              "import resource, subprocess, sys\n"
                              "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)\n"
                              "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
                              "sys.exit(r.returncode)",
                              qEnvironmentVariable("IVRA_TEST_BINARY_DIR") +
                                  "/tests/ivra_update_signed_test"});
    QSignalSpy finished(&wrapper, &QProcess::finished);
    finished.wait(30000); // the test server answers from this event loop meanwhile
    ChildRun run;
    run.exitCode = wrapper.exitCode();
    run.peakKiB = wrapper.readAllStandardOutput().trimmed().toLong();
    run.errors = wrapper.readAllStandardError().trimmed();
    return run;
}

// The signature's line number `line` (0-based) with one byte changed.
QByteArray flipped(const QByteArray &signature, int line, int offset)
{
    QList<QByteArray> lines = signature.split('\n');
    QByteArray &target = lines[line];
    const int at = line == 2 ? target.size() - 1 - offset : offset;
    // Base64 lines keep to the alphabet; the comment may hold anything.
    target[at] = target[at] == 'A' ? 'B' : 'A';
    return lines.join('\n');
}
} // namespace

class SignedPassTest : public QObject
{
    Q_OBJECT

private:
    TestServer server;
    QByteArray gateway = gatewayManifest();
    QByteArray client = clientManifest();
    int logStart = 0;

    void serve(const QString &path, const QByteArray &body, const QByteArray &signature)
    {
        server.route(path, jsonResponse(body));
        server.route(path + ".minisig", TestResponse{200, signature});
    }
    void serveBoth(qint64 timestamp)
    {
        serve(kGatewayPath, gateway, sign(gateway, kGatewayFile, timestamp));
        serve(kClientPath, client, sign(client, kClientFile, timestamp));
    }

    void expectReady(MainWindow &window)
    {
        QTRY_COMPARE(statusText(&window), QStringLiteral("IVRA ENGINE 2.0 Beta is ready."));
        QVERIFY(isShown(&window, "launchButton"));
    }
    void expectRefusal(MainWindow &window, const QString &message)
    {
        QTRY_COMPARE(statusText(&window), message);
        QVERIFY(isShown(&window, "downloadButton"));
        // Launch only to play the installed client offline.
        QCOMPARE(isShown(&window, "launchButton"), isShown(&window, "offlineLabel"));
    }
    qint64 remembered(const QString &file) const
    {
        const QMap<QString, qint64> byKey =
            loadGatewayState(gatewayStatePath()).state.manifestTimestamps.value(file);
        return byKey.isEmpty() ? 0 : *std::max_element(byKey.cbegin(), byKey.cend());
    }
    QString warnings() const { return logLinesSince(logStart).filter(" warning ").join('\n'); }

private Q_SLOTS:
    void initTestCase()
    {
        installTestLogging();
        server.installAsProxy();
        QVERIFY2(!testKey("ivra-test-a").seed.isEmpty(), "the committed test key is readable");
    }

    void init()
    {
        freshDataRoot();
        server.clearRoutes();
        server.clearRequests();
        logStart = logLines().size();
        QVERIFY(setUpWorkingInstall("1.0.0", "#!/bin/sh\n"));
    }

    // Both configured keys are accepted: ours for the Gateway manifest, the
    // minisign tool's for the client manifest. The timestamps are remembered,
    // and a pass against unchanged manifests writes nothing.
    void signedPassWithBothKeys()
    {
        const qint64 stamp = now() - 60;
        serve(kGatewayPath, gateway, sign(gateway, kGatewayFile, stamp));
        serve(kClientPath, client, minisign(client, kClientFile));
        {
            MainWindow window;
            expectReady(window);
        }
        QCOMPARE(remembered(kGatewayFile), stamp);
        QVERIFY(remembered(kClientFile) >= stamp);
        for (const RecordedRequest &request : server.requests()) {
            QCOMPARE(request.userAgents, QList<QByteArray>{"IvraGateway/2026.1024.1"});
            if (request.path == kGatewayPath + ".minisig")
                QCOMPARE(request.query.queryItemValue("edition"), QStringLiteral("demo"));
            if (request.path == kClientPath + ".minisig")
                QCOMPARE(request.query.queryItemValue("product"), QStringLiteral("ivra-demo"));
        }
        QCOMPARE(server.requestCount(kGatewayPath + ".minisig"), 1);
        QCOMPARE(server.requestCount(kClientPath + ".minisig"), 1);

        const QByteArray state = readFile(gatewayStatePath());
        const QDateTime written = QFileInfo(gatewayStatePath()).lastModified();
        QTest::qWait(20);
        {
            MainWindow window;
            expectReady(window);
        }
        QCOMPARE(readFile(gatewayStatePath()), state);
        QCOMPARE(QFileInfo(gatewayStatePath()).lastModified(), written);
    }

    // An install remembers the timestamps with its own save.
    void installSavesTimestampsWithTheInstall()
    {
        const QByteArray zip = buildZip({ZipEntry{"bin/client", "#!/bin/sh\n", 0100755}});
        client = clientManifest({{"latestVersion", "1.1.0"}},
                                {{"url", "http://releases.test" + kPackagePath},
                                 {"sha256", sha256Hex(zip)},
                                 {"sizeBytes", zip.size()}});
        server.route(kPackagePath, TestResponse{200, zip});
        serveBoth(now() - 5);
        MainWindow window;
        expectReady(window);
        const GatewayState state = loadGatewayState(gatewayStatePath()).state;
        QCOMPARE(clientInstallStateFor(state, kProduct).activeVersion, QStringLiteral("1.1.0"));
        QCOMPARE(state.manifestTimestamps.size(), 2);
        client = clientManifest();
    }

    void refusedSignatures_data()
    {
        QTest::addColumn<bool>("gatewaySide");
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QString>("detail");
        const QByteArray g = gatewayManifest();
        const QByteArray good = sign(g, kGatewayFile, now());
        QByteArray changed = g;
        changed[changed.indexOf("demo")] = 'D';
        QTest::newRow("manifest byte") << true << changed << good << "does not match the data";
        QTest::newRow("signature byte") << true << g << flipped(good, 1, 20) << "does not match";
        QTest::newRow("trusted comment byte")
            << true << g << flipped(good, 2, 0) << "global signature";
        QTest::newRow("unknown key") << true << g << sign(g, kGatewayFile, now(), "ivra-test-b")
                                     << "is not a configured key";
        QTest::newRow("three lines")
            << true << g << good.left(good.lastIndexOf("trusted comment")) << "lines, not 4";
        QTest::newRow("truncated")
            << true << g << good.left(good.size() - 30) << "not a global signature";
        QTest::newRow("empty") << true << g << QByteArray() << "lines, not 4";
        const QByteArray c = clientManifest();
        QTest::newRow("client signed as the gateway manifest")
            << false << c << sign(c, kGatewayFile, now()) << "is for 'gateway-demo.json'";
        QTest::newRow("no fields")
            << false << c << signReleaseData(c, testKey("ivra-test-a"), "signed")
            << "lacks a timestamp";
    }

    // Every check refuses with one message and Retry; nothing after the
    // refused manifest is requested.
    void refusedSignatures()
    {
        QFETCH(bool, gatewaySide);
        QFETCH(QByteArray, manifest);
        QFETCH(QByteArray, signature);
        QFETCH(QString, detail);
        const QByteArray state = readFile(gatewayStatePath());
        if (gatewaySide) {
            serve(kGatewayPath, manifest, signature);
        } else {
            serve(kGatewayPath, gateway, sign(gateway, kGatewayFile, now()));
            serve(kClientPath, manifest, signature);
        }
        {
            MainWindow window;
            expectRefusal(window, QStringLiteral("Release data signature is not valid."));
            QVERIFY(!isShown(&window, "offlineLabel")); // a refused signature is no outage
            QVERIFY2(warnings().contains(detail), qPrintable(warnings()));
            // The pair was fetched once more, past any cache, before the refusal.
            const QString refused = gatewaySide ? kGatewayPath : kClientPath;
            QCOMPARE(server.requestCount(refused), 2);
            QCOMPARE(server.requestCount(refused + ".minisig"), 2);
            for (const RecordedRequest &request : server.requests())
                if (request.path.startsWith(refused))
                    QCOMPARE(request.query.hasQueryItem("ivra-refetch"),
                             request.headers.value("cache-control") == "no-cache");
            QCOMPARE(server.requestCount(kClientPath), gatewaySide ? 0 : 2);
            QCOMPARE(server.requestCount(kPackagePath), 0);
        }
        if (gatewaySide)
            QCOMPARE(readFile(gatewayStatePath()), state);
    }

    // A cache serving a new manifest with the old signature (or the reverse):
    // the pair fetched again past it is in step, and the pass goes on.
    void pairOutOfStepIsFetchedAgain()
    {
        const QByteArray older = gatewayManifest({{"latestVersion", "2026.1001.0"}});
        const QByteArray stale = sign(older, kGatewayFile, now() - 600);
        serve(kClientPath, client, sign(client, kClientFile, now()));
        server.route(kGatewayPath, jsonResponse(gateway));
        server.route(kGatewayPath + ".minisig", [this, stale](const RecordedRequest &request) {
            return TestResponse{200, request.query.hasQueryItem("ivra-refetch")
                                         ? sign(gateway, kGatewayFile, now())
                                         : stale};
        });
        MainWindow window;
        expectReady(window);
        QCOMPARE(server.requestCount(kGatewayPath + ".minisig"), 2);
        QVERIFY(warnings().contains("fetching the pair again past caches"));
    }

    void missingSignature()
    {
        server.route(kGatewayPath, jsonResponse(gateway));
        MainWindow window;
        expectRefusal(window, QStringLiteral("Unable to download release signature: HTTP 404."));
        QCOMPARE(server.requestCount(kClientPath), 0);
        // Retry heals once the signature is there.
        serveBoth(now());
        button(&window, "downloadButton")->click();
        expectReady(window);
    }

    // The half of the signed exchange that answers after the other half ended
    // the pass changes nothing: the first failure stands, and Retry starts afresh.
    void lateHalfOfAnEndedExchange_data()
    {
        QTest::addColumn<bool>("signatureFails");
        QTest::newRow("signature fails, manifest late") << true;
        QTest::newRow("manifest fails, signature late") << false;
    }
    void lateHalfOfAnEndedExchange()
    {
        QFETCH(bool, signatureFails);
        TestResponse late = signatureFails ? jsonResponse(gateway)
                                           : TestResponse{200, sign(gateway, kGatewayFile, now())};
        late.delayMs = 600;
        const QString failing = signatureFails ? kGatewayPath + ".minisig" : kGatewayPath;
        server.route(failing, TestResponse{404, "gone"});
        server.route(signatureFails ? kGatewayPath : kGatewayPath + ".minisig", late);
        const QString message =
            signatureFails ? QStringLiteral("Unable to download release signature: HTTP 404.")
                           : QStringLiteral("Release service returned HTTP 404.");
        MainWindow window;
        expectRefusal(window, message);
        QTest::qWait(1000); // the late half has had its time
        QCOMPARE(statusText(&window), message);
        QCOMPARE(logLinesSince(logStart).filter(" warning Pass ended: ").size(), 1);
        QCOMPARE(server.requestCount(kClientPath), 0);
        serveBoth(now());
        button(&window, "downloadButton")->click();
        expectReady(window);
        QCOMPARE(logLinesSince(logStart).filter(" warning Pass ended: ").size(), 1);
    }

    // Both halves refused at once (nothing listens where the proxy should be)
    // end the pass once, and quietly: the half that failed second is not
    // aborted on top of its own error.
    void bothHalvesFailAtOnce()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), port));
        {
            MainWindow window;
            QTRY_VERIFY(isShown(&window, "downloadButton"));
            QTest::qWait(200);
        }
        server.installAsProxy();
        QCOMPARE(logLinesSince(logStart).filter(" warning Pass ended: ").size(), 1);
        QCOMPARE(logLinesSince(logStart).filter("Internal problem").join('\n'), QString());
    }

    // A validly signed but older manifest is refused after a newer one was
    // accepted, across a restart; re-signing gives it a new timestamp.
    void rollbackRefused()
    {
        const qint64 newer = now() - 100;
        serveBoth(newer);
        {
            MainWindow window;
            expectReady(window);
        }
        QCOMPARE(remembered(kGatewayFile), newer);
        serveBoth(newer - 3600);
        {
            MainWindow window;
            expectRefusal(window, QStringLiteral("Release data is older than release data "
                                                 "already accepted."));
            QVERIFY(warnings().contains(QStringLiteral("older than the accepted %1").arg(newer)));
            QCOMPARE(server.requestCount(kClientPath), 1);
        }
        QCOMPARE(remembered(kGatewayFile), newer);
        serveBoth(newer); // the same timestamp again is accepted
        {
            MainWindow window;
            expectReady(window);
        }
    }

    void expiredRefused()
    {
        const qint64 stamp = now() - 31 * kDay;
        serveBoth(stamp);
        MainWindow window;
        const QString date = QDateTime::fromSecsSinceEpoch(stamp + 30 * kDay, Qt::UTC)
                                 .toString(QStringLiteral("yyyy-MM-dd"));
        expectRefusal(window, QStringLiteral("Release data expired on %1.").arg(date));
        QCOMPARE(server.requestCount(kClientPath), 0);
    }

    // A host that sends release data without end cannot grow the launcher's
    // memory: a signature stops at 4 KiB, a manifest at 1 MiB, as they arrive.
    void oversizedReleaseDataIsCutOff()
    {
        serveBoth(now());
        server.route(kClientPath, jsonResponse("gone", 410)); // the pass ends there
        const ChildRun normal = runSignedUpdater(server.port());
        QCOMPARE(normal.exitCode, 1);
        QCOMPARE(normal.errors, QByteArray("Release service returned HTTP 410."));

        TestResponse endless{200, QByteArray(32 << 20, '\n')};
        endless.omitLength = true; // only the bytes themselves tell
        server.route(kGatewayPath + ".minisig", endless);
        const ChildRun signature = runSignedUpdater(server.port());
        QCOMPARE(signature.errors, QByteArray("Release data signature is not valid."));
        QCOMPARE(signature.exitCode, 1);
        QVERIFY2(warnings().contains("gateway signature is larger than 4096 bytes"),
                 qPrintable(warnings()));

        serveBoth(now());
        server.route(kGatewayPath, jsonResponse(QByteArray(64 << 20, ' ')));
        const ChildRun manifest = runSignedUpdater(server.port());
        QCOMPARE(manifest.errors, QByteArray("Release data is larger than 1048576 bytes."));
        QCOMPARE(manifest.exitCode, 1);
        const QString peaks = QStringLiteral("peak memory: %1 KiB normally, %2 KiB against a "
                                             "32 MiB signature, %3 KiB against a 64 MiB manifest")
                                  .arg(normal.peakKiB)
                                  .arg(signature.peakKiB)
                                  .arg(manifest.peakKiB);
        QVERIFY2(signature.peakKiB < normal.peakKiB + 16 * 1024, qPrintable(peaks));
        QVERIFY2(manifest.peakKiB < normal.peakKiB + 16 * 1024, qPrintable(peaks));
    }

    // Signed in year 9999: refused, and remembered nowhere, so that correctly
    // dated signatures are accepted afterwards. 2^53 does not even parse.
    void futureAndHugeTimestampsRefused()
    {
        const QByteArray state = readFile(gatewayStatePath());
        serve(kGatewayPath, gateway, sign(gateway, kGatewayFile, 253402300799));
        {
            MainWindow window;
            expectRefusal(window,
                          QStringLiteral("Release data is dated in the future: 9999-12-31."));
        }
        QCOMPARE(readFile(gatewayStatePath()), state);
        serve(kGatewayPath, gateway, sign(gateway, kGatewayFile, qint64(1) << 53));
        {
            MainWindow window;
            expectRefusal(window, QStringLiteral("Release data signature is not valid."));
            QVERIFY(warnings().contains("the timestamp 9007199254740992 is out of range"));
        }
        QCOMPARE(readFile(gatewayStatePath()), state);
        serveBoth(now());
        MainWindow window;
        expectReady(window);
    }

    // Accepted timestamps are on disk before the download starts: closing the
    // window in the middle of it loses none.
    void timestampsKeptWhenClosedDuringDownload()
    {
        const QByteArray zip = buildZip({ZipEntry{"bin/client", QByteArray(200000, 'c'), 0100755}});
        client = clientManifest({{"latestVersion", "1.1.0"}},
                                {{"url", "http://releases.test" + kPackagePath},
                                 {"sha256", sha256Hex(zip)},
                                 {"sizeBytes", zip.size()}});
        TestResponse stalled{200, zip};
        stalled.stallAfterBytes = 50000;
        server.route(kPackagePath, stalled);
        const qint64 stamp = now() - 30;
        serveBoth(stamp);
        {
            MainWindow window;
            QTRY_VERIFY(QFileInfo(downloadsPath() + "/ivra-demo/ivra-demo_1.1.0.zip.part").size() >
                        0);
        }
        client = clientManifest();
        QCOMPARE(remembered(kGatewayFile), stamp);
        QCOMPARE(remembered(kClientFile), stamp);
    }

    // A signature binds a manifest to its file name only: the build checks the
    // channel of both manifests and the Gateway's product itself.
    void manifestsBoundToThisBuild_data()
    {
        QTest::addColumn<bool>("gatewaySide");
        QTest::addColumn<QJsonObject>("fields");
        QTest::addColumn<QString>("message");
        QTest::newRow("beta client manifest") << false << QJsonObject{{"channel", "beta"}}
                                              << "Release data is for channel beta, not stable.";
        QTest::newRow("beta gateway manifest") << true << QJsonObject{{"channel", "beta"}}
                                               << "Release data is for channel beta, not stable.";
        QTest::newRow("another product's gateway")
            << true << QJsonObject{{"product", "Other Gateway"}}
            << "Gateway manifest product 'Other Gateway' does not match this Gateway build "
               "'IVRA Gateway'.";
    }
    void manifestsBoundToThisBuild()
    {
        QFETCH(bool, gatewaySide);
        QFETCH(QJsonObject, fields);
        QFETCH(QString, message);
        const QByteArray bound = gatewaySide ? gatewayManifest(fields) : clientManifest(fields);
        serveBoth(now());
        serve(gatewaySide ? kGatewayPath : kClientPath, bound,
              sign(bound, gatewaySide ? kGatewayFile : kClientFile, now()));
        MainWindow window;
        QTRY_COMPARE(statusText(&window), message);
        QVERIFY(!isShown(&window, "downloadButton"));
        QCOMPARE(server.requestCount(kClientPath), gatewaySide ? 0 : 1);
    }

    // What a key no longer trusted signed goes with it, even dated in year
    // 9999; an entry that named no key (today's form) still guards every key.
    void timestampsOfKeysNotTrusted()
    {
        const QString untrusted = keyIdText(testKey("ivra-test-b").publicKey.keyId);
        const qint64 older = now() - 3600;
        GatewayState state = loadGatewayState(gatewayStatePath()).state;
        state.manifestTimestamps[kGatewayFile].insert(untrusted, 253402300799);
        state.manifestTimestamps[kClientFile].insert(QString(), older + 60);
        QVERIFY(saveGatewayState(gatewayStatePath(), state));
        serveBoth(older);
        {
            MainWindow window; // the client manifest is older than the entry with no key
            expectRefusal(window, QStringLiteral("Release data is older than release data "
                                                 "already accepted."));
        }
        serveBoth(now());
        {
            MainWindow window;
            expectReady(window);
        }
        const GatewayState after = loadGatewayState(gatewayStatePath()).state;
        const QString trusted = keyIdText(testKey("ivra-test-a").publicKey.keyId);
        QCOMPARE(after.manifestTimestamps.value(kGatewayFile).keys(), QStringList{trusted});
        QCOMPARE(after.manifestTimestamps.value(kClientFile).keys(), QStringList{trusted});
    }

    // An outdated Gateway whose manifest signature fails never fetches its installer.
    void selfUpdateRefusedBeforeDownload()
    {
        const QByteArray newer =
            gatewayManifest({{"latestVersion", "2026.1030.0"},
                             {"installerUrl", "http://releases.test" + kInstallerPath}});
        server.route(kInstallerPath, TestResponse{200, "installer"});
        serve(kGatewayPath, newer, sign(newer, kGatewayFile, now(), "ivra-test-b"));
        MainWindow window;
        expectRefusal(window, QStringLiteral("Release data signature is not valid."));
        QTest::qWait(200);
        QCOMPARE(server.requestCount(kInstallerPath), 0);
        QVERIFY(!QFileInfo::exists(downloadsPath() + "/gateway"));
    }
};

QTEST_MAIN(SignedPassTest)
#include "tst_signedpass.moc"
