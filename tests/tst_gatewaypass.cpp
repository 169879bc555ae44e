// The Gateway side of the update pass, through the real window against a
// local test release server.
#include "storage/paths.h"
#include "support/testserver.h"
#include "support/testutil.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

using namespace TestUtil;

namespace {
const QString kInstallerPath = QStringLiteral("/releases/gateway/setup.exe");

QString installerTarget(const QString &edition, const QString &version)
{
    return downloadsPath() +
           QStringLiteral("/gateway/IvraGateway_%1_%2_Setup.exe").arg(edition, version);
}

QJsonObject newerGateway(const QString &sha256)
{
    return QJsonObject{{"latestVersion", "2026.1030.0"},
                       {"minimumVersion", "2026.1024.0"},
                       {"installerSha256", sha256}};
}
} // namespace

class GatewayPassTest : public QObject
{
    Q_OBJECT

private:
    TestServer server;
    int logStart = 0;

    // What this test added to the process's log file.
    QStringList newLog() const { return logLinesSince(logStart); }

    // The failure the pass ended in, and whether Retry is offered.
    void expectFailure(MainWindow &window, const QString &message, bool retry)
    {
        QTRY_COMPARE(statusText(&window), message);
        QCOMPARE(isShown(&window, "downloadButton"), retry);
        QCOMPARE(button(&window, "downloadButton")->isEnabled(), retry);
        // Launch only to play the installed client offline.
        QCOMPARE(isShown(&window, "launchButton"), isShown(&window, "offlineLabel"));
        QVERIFY(!isShown(&window, "progressBar"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        installTestLogging();
        server.installAsProxy();
    }

    void init()
    {
        freshDataRoot();
        server.clearRoutes();
        server.clearRequests();
        logStart = logLines().size();
        // Unless a test says otherwise the pass ends at the client manifest.
        server.route(kClientPath, jsonResponse("gone", 410));
    }

    void requestCarriesQueryAndOneUserAgent()
    {
        server.route(kGatewayPath, jsonResponse(gatewayManifest()));
        MainWindow window;
        QCOMPARE(statusText(&window), QStringLiteral("Checking for updates..."));
        expectFailure(window, QStringLiteral("Release service returned HTTP 410."), true);

        // Two requests and no more: an unsigned build asks for no signature.
        const QList<RecordedRequest> requests = server.requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests.at(0).host, QStringLiteral("releases.test"));
        QCOMPARE(requests.at(0).path, kGatewayPath);
        QCOMPARE(requests.at(0).query.query(), QStringLiteral("edition=demo"));
        QCOMPARE(requests.at(1).path, kClientPath);
        QCOMPARE(requests.at(1).query.query(), QStringLiteral("product=ivra-demo"));
        for (const RecordedRequest &request : requests) {
            QCOMPARE(request.method, QByteArray("GET"));
            QCOMPARE(request.userAgents, QList<QByteArray>{"IvraGateway/2026.1024.1"});
        }
        const QStringList log = newLog();
        QVERIFY(log.filter(QStringLiteral(" info Requesting Gateway manifest: http://releases.test"
                                          "/releases/manifests/gateway-demo.json?edition=demo"))
                    .size() >= 1);
        QVERIFY(log.filter(QRegularExpression(QStringLiteral(
                               " info gateway manifest received after \\d+ ms: HTTP 200$")))
                    .size() >= 1);
        QVERIFY(
            log.filter(QRegularExpression(QStringLiteral(
                           " warning client manifest failed after \\d+ ms: HTTP 410, body=gone$")))
                .size() >= 1);
    }

    void decisionTable_data()
    {
        QTest::addColumn<QString>("edition");
        QTest::addColumn<QString>("latest");
        QTest::addColumn<QString>("minimum");
        QTest::addColumn<QString>("outcome"); // "client", "update", or the failure message
        QTest::addColumn<bool>("retry");
        QTest::newRow("equal to this build") << "demo"
                                             << "2026.1024.1"
                                             << "2026.1024.1"
                                             << "client" << false;
        QTest::newRow("older than this build") << "demo"
                                               << "2026.1024.0"
                                               << "2026.1000.0"
                                               << "client" << false;
        QTest::newRow("newer, minimum satisfied") << "demo"
                                                  << "2026.1024.2"
                                                  << "2026.1024.0"
                                                  << "update" << false;
        QTest::newRow("newer, below minimum") << "demo"
                                              << "2027.1.0"
                                              << "2027.0.0"
                                              << "update" << false;
        QTest::newRow("edition with capital and blank") << "Demo "
                                                        << "2026.1024.1"
                                                        << "2026.1024.1"
                                                        << "client" << false;
        QTest::newRow("full edition refused")
            << "full"
            << "2026.1024.1"
            << "2026.1024.1"
            << "Gateway manifest edition 'full' does not match this Gateway build 'demo'." << false;
        QTest::newRow("two-part latest")
            << "demo"
            << "1.0"
            << "1.0.0"
            << "Gateway manifest contains invalid version data." << false;
        QTest::newRow("letter in minimum")
            << "demo"
            << "2026.1024.1"
            << "2026.1024.x"
            << "Gateway manifest contains invalid version data." << false;
        QTest::newRow("latest below minimum")
            << "demo"
            << "2026.1024.1"
            << "2026.1025.0"
            << "Gateway manifest latest version is below minimum version." << false;
    }
    void decisionTable()
    {
        QFETCH(QString, edition);
        QFETCH(QString, latest);
        QFETCH(QString, minimum);
        QFETCH(QString, outcome);
        QFETCH(bool, retry);
        server.route(kGatewayPath, jsonResponse(gatewayManifest({{"edition", edition},
                                                                 {"latestVersion", latest},
                                                                 {"minimumVersion", minimum}})));
        server.route(kInstallerPath, stalledResponse());
        MainWindow window;
        if (outcome == QLatin1String("client")) {
            expectFailure(window, QStringLiteral("Release service returned HTTP 410."), true);
            QCOMPARE(server.requestCount(kInstallerPath), 0);
        } else if (outcome == QLatin1String("update")) {
            QTRY_COMPARE(server.requestCount(kInstallerPath), 1);
            QCOMPARE(statusText(&window), QStringLiteral("Updating IVRA ENGINE 2.0 Beta..."));
            QVERIFY(isShown(&window, "progressBar"));
            QCOMPARE(server.requestCount(kClientPath), 0);
        } else {
            expectFailure(window, outcome, retry);
            QCOMPARE(server.requestCount(kClientPath), 0);
        }
    }

    void httpErrorShowsStatusAndLogsBody()
    {
        server.route(kGatewayPath, TestResponse{404, "<h1>Not here</h1>", "text/html"});
        MainWindow window;
        expectFailure(window, QStringLiteral("Release service returned HTTP 404."), true);
        QCOMPARE(newLog()
                     .filter(QRegularExpression(
                         QStringLiteral(" warning gateway manifest failed after \\d+ ms: HTTP 404, "
                                        "body=<h1>Not here</h1>$")))
                     .size(),
                 1);
    }

    void emptySuccessReachesTheDecision()
    {
        server.route(kGatewayPath, TestResponse{204, QByteArray(), "text/plain"});
        MainWindow window;
        QTRY_VERIFY(statusText(&window).startsWith(QStringLiteral(
            "Unable to read Gateway release manifest: Invalid gateway release JSON: ")));
        QVERIFY(isShown(&window, "downloadButton"));
        QVERIFY(newLog().filter(QStringLiteral(", body=<empty>")).size() == 1);
    }

    void htmlPageWithSuccessStatus()
    {
        const QByteArray page = "<html>" + QByteArray(3000, 'x') + "</html>";
        server.route(kGatewayPath, TestResponse{200, page, "text/html"});
        MainWindow window;
        QTRY_VERIFY(statusText(&window).startsWith(
            QStringLiteral("Unable to read Gateway release manifest: ")));
        QVERIFY(isShown(&window, "downloadButton"));
        const QStringList warnings =
            newLog().filter(QStringLiteral(" warning Gateway manifest parse failed: "));
        QCOMPARE(warnings.size(), 1);
        QVERIFY(warnings.first().endsWith(QStringLiteral(", body=") +
                                          QString::fromLatin1(page.left(2048)) +
                                          QStringLiteral("... <truncated>")));
    }

    void connectionDroppedMidBody()
    {
        TestResponse response = jsonResponse(gatewayManifest());
        response.dropAfterBytes = 40;
        server.route(kGatewayPath, response);
        MainWindow window;
        QTRY_VERIFY(
            statusText(&window).startsWith(QStringLiteral("Unable to download release data: ")));
        QVERIFY(isShown(&window, "downloadButton"));
        QCOMPARE(server.requestCount(kClientPath), 0);
        QVERIFY(newLog()
                    .filter(QRegularExpression(
                        QStringLiteral(" warning gateway manifest failed after \\d+ ms: "
                                       "networkError=\\d+, message=.+")))
                    .size() == 1);
    }

    void manifestTimesOutAfterTenSeconds()
    {
        server.route(kGatewayPath, stalledResponse());
        MainWindow window;
        QTest::qWait(9000);
        QCOMPARE(statusText(&window), QStringLiteral("Checking for updates..."));
        QTRY_VERIFY_WITH_TIMEOUT(
            statusText(&window).startsWith(QStringLiteral("Unable to download release data: ")),
            6000);
        QCOMPARE(statusText(&window),
                 QStringLiteral("Unable to download release data: Operation canceled"));
        QVERIFY(isShown(&window, "downloadButton"));
        const QStringList log = newLog();
        const int timedOut = log.indexOf(QRegularExpression(QStringLiteral(
            ".* warning Gateway manifest request timed out after 10000 ms: "
            "http://releases.test/releases/manifests/gateway-demo.json\\?edition=demo$")));
        QVERIFY(timedOut >= 0);
        QVERIFY2(log.value(timedOut + 1)
                     .contains(QRegularExpression(
                         QStringLiteral(" warning gateway manifest failed after \\d+ ms: "
                                        "networkError=5, message=Operation canceled$"))),
                 qPrintable(log.mid(timedOut).join("\n")));
    }

    void selfUpdateStartsVerifiedInstallerAndQuits()
    {
        const QByteArray installer = recorderBytes();
        QVERIFY(!installer.isEmpty());
        // Upper case and blanks around: compared without regard to case, after trimming.
        server.route(kGatewayPath, jsonResponse(gatewayManifest(newerGateway(
                                       QStringLiteral("  ") + sha256Hex(installer).toUpper() +
                                       QStringLiteral(" ")))));
        TestResponse download;
        download.body = installer;
        download.trickleBytes = installer.size() / 4 + 1;
        download.trickleIntervalMs = 150;
        server.route(kInstallerPath, download);
        const QString target = installerTarget("demo", "2026.1030.0");
        QVERIFY(writeFile(target, "an older installer"));
        QVERIFY(writeFile(target + ".part", QByteArray(installer.size() * 2, 'j')));

        MainWindow window;
        QTRY_COMPARE(server.requestCount(kInstallerPath), 1);
        QCOMPARE(server.requests().last().userAgents, QList<QByteArray>{"IvraGateway/2026.1024.1"});
        // Progress in whole percents while the body trickles in.
        QTRY_VERIFY(progressBar(&window)->maximum() == 100 && progressBar(&window)->value() > 0 &&
                    progressBar(&window)->value() < 100);
        QVERIFY(isShown(&window, "progressBar"));
        QCOMPARE(statusText(&window), QStringLiteral("Updating IVRA ENGINE 2.0 Beta..."));

        QVERIFY(runUntilQuit(10000));
        QCOMPARE(statusText(&window),
                 QStringLiteral("Installing the IVRA ENGINE 2.0 Beta update..."));
        QCOMPARE(readFile(target), installer);
        QVERIFY(!QFile::exists(target + ".part"));
        QTRY_VERIFY(QFile::exists(target + ".started.json"));
        const QJsonObject started = recorderRecord(target + ".started.json");
        QCOMPARE(started.value("arguments").toArray(), QJsonArray{"/SP-"});
        QVERIFY(QFileInfo(target).isExecutable());
        QVERIFY(target.contains(QStringLiteral("/Ivra Engine/")));
        QVERIFY(
            newLog().filter(QStringLiteral(" info gateway installer downloaded after ")).size() ==
            1);
    }

    void progressInWholeTruncatedPercents()
    {
        const QByteArray body = "0123456789abcdef";
        server.route(kGatewayPath, jsonResponse(gatewayManifest(newerGateway(sha256Hex(body)))));
        // Qt holds back progress that arrives with the headers, so it first reports 6 of 16: 37.5
        // %.
        TestResponse slow{200, body};
        slow.trickleBytes = 3;
        slow.trickleIntervalMs = 400;
        server.route(kInstallerPath, slow);
        {
            MainWindow window;
            QTRY_COMPARE(progressBar(&window)->value(), 37);
            QCOMPARE(progressBar(&window)->maximum(), 100);
            QVERIFY(isShown(&window, "progressBar"));
        }
        // Without a length the bar stays busy.
        TestResponse partial{200, body};
        partial.stallAfterBytes = 3;
        partial.omitLength = true;
        server.route(kInstallerPath, partial);
        MainWindow window;
        QTRY_COMPARE(server.requestCount(kInstallerPath), 2);
        QTest::qWait(300);
        QCOMPARE(progressBar(&window)->minimum(), 0);
        QCOMPARE(progressBar(&window)->maximum(), 0);
        QVERIFY(isShown(&window, "progressBar"));
    }

    void installerChecksumMismatchRemovesIt()
    {
        server.route(kGatewayPath,
                     jsonResponse(gatewayManifest(newerGateway(QString(64, QLatin1Char('A'))))));
        server.route(kInstallerPath, TestResponse{200, "not the installer"});
        MainWindow window;
        expectFailure(
            window,
            QStringLiteral("Gateway installer checksum mismatch. Expected %1, received %2.")
                .arg(QString(64, QLatin1Char('A')), sha256Hex("not the installer")),
            true);
        QVERIFY(!QFile::exists(installerTarget("demo", "2026.1030.0")));
        QVERIFY(!runUntilQuit(300));
    }

    void installerHttpErrorLeavesNoPartFile()
    {
        server.route(kGatewayPath, jsonResponse(gatewayManifest(newerGateway(sha256Hex("x")))));
        server.route(kInstallerPath, TestResponse{503, "busy", "text/plain"});
        MainWindow window;
        expectFailure(window, QStringLiteral("Release service returned HTTP 503."), true);
        QVERIFY(!QFile::exists(installerTarget("demo", "2026.1030.0") + ".part"));
        QVERIFY(!QFile::exists(installerTarget("demo", "2026.1030.0")));
        QVERIFY(
            newLog()
                .filter(QRegularExpression(QStringLiteral(
                    " warning gateway installer failed after \\d+ ms: HTTP 503, body=<empty>$")))
                .size() == 1);
    }

    void installerThatCannotStart()
    {
        const QByteArray notAProgram = "plain text, not a program";
        QJsonObject fields = newerGateway(sha256Hex(notAProgram));
        fields.insert("edition", "Demo"); // accepted, and kept with its capital in the file name
        server.route(kGatewayPath, jsonResponse(gatewayManifest(fields)));
        server.route(kInstallerPath, TestResponse{200, notAProgram});
        MainWindow window;
        const QString target = installerTarget("Demo", "2026.1030.0");
        expectFailure(window, QStringLiteral("Unable to start Gateway installer: %1").arg(target),
                      true);
        QCOMPARE(readFile(target), notAProgram); // the verified installer stays
        QVERIFY(!runUntilQuit(300));
    }

    void invalidInstallerUrl()
    {
        QJsonObject fields = newerGateway(sha256Hex("x"));
        fields.insert("installerUrl", "not a url");
        server.route(kGatewayPath, jsonResponse(gatewayManifest(fields)));
        MainWindow window;
        expectFailure(window, QStringLiteral("Gateway update installer URL is invalid."), false);
    }

    void retryStartsOneNewPassAndEndsClean()
    {
        int calls = 0;
        server.route(kGatewayPath, [&calls](const RecordedRequest &) {
            return ++calls == 1 ? TestResponse{500, "oops", "text/plain"}
                                : jsonResponse(gatewayManifest());
        });
        // The client is already installed, so the second pass ends ready.
        const QString exe = clientVersionPath("ivra-demo", "1.0.0") + "/bin/client";
        QVERIFY(writeFile(exe, "#!/bin/sh\n"));
        QVERIFY(recordOnDisk("ivra-demo", "1.0.0"));
        GatewayState state;
        state.clients.insert("ivra-demo", {"1.0.0", ""});
        QVERIFY(saveGatewayState(gatewayStatePath(), state));
        server.route(kClientPath, jsonResponse(clientManifest()));

        MainWindow window;
        window.show();
        expectFailure(window, QStringLiteral("Release service returned HTTP 500."), true);
        QTest::mouseClick(button(&window, "downloadButton"), Qt::LeftButton);
        QVERIFY(!isShown(&window, "downloadButton"));
        QTRY_COMPARE(statusText(&window), QStringLiteral("IVRA ENGINE 2.0 Beta is ready."));
        QCOMPARE(server.requestCount(kGatewayPath), 2);
        QCOMPARE(server.requestCount(kClientPath), 1);
        QVERIFY(!isShown(&window, "downloadButton"));
        QVERIFY(!isShown(&window, "progressBar"));
        QVERIFY(isShown(&window, "launchButton"));
        QVERIFY(button(&window, "launchButton")->isEnabled());
        for (const char *row : {"label", "currentVersionValue", "label_2", "requiredVersionValue"})
            QVERIFY(!isShown(&window, row));
    }

    void brokenStateFileIsLoggedOnceAndKept()
    {
        QVERIFY(writeFile(gatewayStatePath(), "{ broken"));
        server.route(kGatewayPath, jsonResponse("nope", 500));
        MainWindow window;
        const QStringList warnings =
            newLog().filter(QStringLiteral(" warning Gateway state will be reset: "));
        QCOMPARE(warnings.size(), 1);
        QVERIFY(warnings.first().contains(QStringLiteral("reset: Invalid gateway state JSON: ")));
        expectFailure(window, QStringLiteral("Release service returned HTTP 500."), true);
        QCOMPARE(readFile(gatewayStatePath()), QByteArray("{ broken"));
    }
};

QTEST_MAIN(GatewayPassTest)
#include "tst_gatewaypass.moc"
