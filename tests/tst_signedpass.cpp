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
#include <QProcess>
#include <QPushButton>
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
        QVERIFY(!isShown(&window, "launchButton"));
    }
    qint64 remembered(const QString &file) const
    {
        return loadGatewayState(gatewayStatePath()).state.manifestTimestamps.value(file);
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
            QVERIFY2(warnings().contains(detail), qPrintable(warnings()));
            QCOMPARE(server.requestCount(kClientPath), gatewaySide ? 0 : 1);
            QCOMPARE(server.requestCount(kPackagePath), 0);
        }
        if (gatewaySide)
            QCOMPARE(readFile(gatewayStatePath()), state);
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
