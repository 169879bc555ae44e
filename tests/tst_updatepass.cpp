// The update pass on its own, with no window: judged only by its signals, the
// files it leaves and the requests the test server saw.
#include "net/ratelimit.h"
#include "net/releasehosts.h"
#include "pass/updatepass.h"
#include "storage/gatewaysettings.h"
#include "storage/paths.h"
#include "support/testserver.h"
#include "support/testutil.h"
#include "support/zipwriter.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <limits>

using namespace TestUtil;

namespace {
const QString kPackagePath = QStringLiteral("/releases/clients/ivra-demo_1.0.0.zip");
const QString kReady = QStringLiteral("IVRA ENGINE 2.0 Beta is ready.");

QStringList texts(const QSignalSpy &spy)
{
    QStringList all;
    for (const QList<QVariant> &arguments : spy)
        all << arguments.at(0).toString();
    return all;
}
} // namespace

class UpdatePassTest : public QObject
{
    Q_OBJECT

private:
    TestServer server;
    QByteArray package;

    void servePackage(const TestResponse &response, const QJsonObject &gateway = {})
    {
        server.route(kGatewayPath, jsonResponse(gatewayManifest(gateway)));
        server.route(kClientPath, jsonResponse(clientManifest(
                                      {}, {{"url", "http://releases.test" + kPackagePath},
                                           {"sha256", sha256Hex(package)},
                                           {"sizeBytes", package.size()}})));
        server.route(kPackagePath, response);
    }

private Q_SLOTS:
    void initTestCase()
    {
        installTestLogging();
        server.installAsProxy();
        ZipEntry client{"bin/client", recorderBytes()};
        client.unixMode = 0100755;
        package = buildZip({client, ZipEntry{"data/readme.txt", QByteArray(300000, 'r')}});
    }

    void init()
    {
        freshDataRoot();
        server.clearRoutes();
        server.clearRequests();
    }

    // Every step of a fresh install, as the signals tell it, and Launch.
    void freshInstallThenLaunch()
    {
        TestResponse slow{200, package};
        slow.trickleBytes = 32768;
        slow.trickleIntervalMs = 10;
        servePackage(slow);
        UpdatePass pass;
        QSignalSpy status(&pass, &UpdatePass::statusChanged);
        QSignalSpy version(&pass, &UpdatePass::clientVersionChanged);
        QSignalSpy progress(&pass, &UpdatePass::progressChanged);
        QSignalSpy ready(&pass, &UpdatePass::ready);
        QSignalSpy failed(&pass, &UpdatePass::failed);
        QSignalSpy quit(&pass, &UpdatePass::quitRequested);
        pass.start();
        QVERIFY(ready.wait(10000));
        QCOMPARE(texts(status), (QStringList{"Checking for updates...", "Checking IVRA...",
                                             "Downloading IVRA...", "Installing IVRA...", kReady}));
        QCOMPARE(texts(version), QStringList{"1.0.0"});
        QCOMPARE(ready.takeFirst().at(0).toBool(), false); // no upgrade offer in this manifest
        QVERIFY(failed.isEmpty());
        QList<int> percents;
        for (const QList<QVariant> &arguments : progress)
            percents << arguments.at(0).toInt();
        QCOMPARE(percents.first(), -1); // the download starts busy ...
        QVERIFY(std::any_of(percents.begin(), percents.end(),
                            [](int p) { return p > 0 && p < 100; })); // ... then counts
        QVERIFY(std::all_of(percents.begin(), percents.end(), [](int p) { return p <= 100; }));
        QCOMPARE(clientInstallStateFor(loadGatewayState(gatewayStatePath()).state, kProduct)
                     .activeVersion,
                 QStringLiteral("1.0.0"));

        pass.launch();
        QCOMPARE(quit.size(), 1);
        const QString record = clientVersionPath(kProduct, "1.0.0") + "/bin/client.started.json";
        QTRY_VERIFY(QFileInfo::exists(record));
    }

    // A failure is reported once with its Retry flag; start() is the Retry.
    void failureThenRetry()
    {
        servePackage(TestResponse{503, "busy"});
        UpdatePass pass;
        QSignalSpy failed(&pass, &UpdatePass::failed);
        QSignalSpy ready(&pass, &UpdatePass::ready);
        QSignalSpy started(&pass, &UpdatePass::started);
        pass.start();
        QVERIFY(failed.wait(10000));
        QCOMPARE(failed.takeFirst(),
                 (QList<QVariant>{QStringLiteral("Release service returned HTTP 503."), true}));
        pass.launch(); // not ready: a failure of its own, never a start
        QCOMPARE(failed.takeFirst().at(0).toString(),
                 QStringLiteral("IVRA is not ready to launch."));
        servePackage(TestResponse{200, package});
        pass.start();
        QVERIFY(ready.wait(10000));
        QCOMPARE(started.size(), 2);
        QVERIFY(failed.isEmpty());
    }

    // A package that cannot fit is never requested: the pass fails with Retry.
    // Sizes near the top of the range must not wrap round to "fits".
    void notEnoughDiskSpace_data()
    {
        QTest::addColumn<qint64>("huge");
        QTest::addColumn<QString>("needed");
        QTest::newRow("2^52") << (qint64(1) << 52) << "9007 TB";
        QTest::newRow("2^62") << (qint64(1) << 62) << "[0-9.]+ [A-Z]B";
        // The largest a JSON number below 2^63 can say.
        QTest::newRow("2^63 - 1024")
            << (std::numeric_limits<qint64>::max() - 1023) << "[0-9.]+ [A-Z]B";
    }
    void notEnoughDiskSpace()
    {
        QFETCH(qint64, huge);
        QFETCH(QString, needed);
        server.route(kGatewayPath, jsonResponse(gatewayManifest()));
        server.route(kClientPath, jsonResponse(clientManifest(
                                      {}, {{"url", "http://releases.test" + kPackagePath},
                                           {"sha256", sha256Hex(package)},
                                           {"sizeBytes", huge}})));
        UpdatePass pass;
        QSignalSpy failed(&pass, &UpdatePass::failed);
        pass.start();
        QVERIFY(failed.wait(10000));
        const QString message = failed.first().at(0).toString();
        QVERIFY2(QRegularExpression(QStringLiteral("^Not enough disk space: %1 needed in "
                                                   "%2, [0-9.]+ [kMGT]?B free\\.$")
                                        .arg(needed, QRegularExpression::escape(dataRootPath())))
                     .match(message)
                     .hasMatch(),
                 qPrintable(message));
        QVERIFY(failed.first().at(1).toBool());
        for (const RecordedRequest &request : server.requests())
            QVERIFY(request.path != kPackagePath);
    }

    // The limit is kept in the settings file and holds the package's download
    // to it (a quarter second's worth may come at once).
    void downloadLimit()
    {
        const QList<QPair<QString, qint64>> rates{
            {"5M", 5000000},    {"500K", 500000}, {"1.5m", 1500000},
            {"2G", 2000000000}, {"0", 0},         {"1024", 1024},
            {"5 MB", -1},       {"-1", -1},       {"", -1}};
        for (const auto &[text, bytes] : rates)
            QCOMPARE(parseRate(text), bytes);
        const QByteArray small = package;
        QByteArray noise(3000000, Qt::Uninitialized);
        for (char &byte : noise)
            byte = char(QRandomGenerator::global()->generate());
        ZipEntry client{"bin/client", recorderBytes()};
        client.unixMode = 0100755;
        package = buildZip({client, ZipEntry{"data/noise.bin", noise}});
        servePackage(TestResponse{200, package});
        package = small;
        UpdatePass pass;
        QSignalSpy ready(&pass, &UpdatePass::ready);
        QString refused;
        QVERIFY(!pass.setDownloadLimit(20, &refused));
        QCOMPARE(refused, QStringLiteral("Download speed limits below 64 KB/s are not accepted; "
                                         "0 is no limit."));
        QCOMPARE(pass.downloadLimit(), 0);
        QVERIFY(pass.setDownloadLimit(1000000));
        QElapsedTimer clock;
        clock.start();
        pass.start();
        QVERIFY(ready.wait(30000));
        QVERIFY2(clock.elapsed() >= 2600, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(loadGatewaySettings(gatewaySettingsPath()).downloadLimit, 1000000);
    }

    // A pass started again while its download runs drops that download: what
    // arrives for it later writes nothing and reports nothing.
    void restartDropsTheRunningDownload()
    {
        TestResponse stalled{200, package};
        stalled.stallAfterBytes = 100000;
        servePackage(stalled);
        const QString part = downloadsPath() + "/ivra-demo/ivra-demo_1.0.0.zip.part";
        UpdatePass pass;
        QSignalSpy failed(&pass, &UpdatePass::failed);
        QSignalSpy ready(&pass, &UpdatePass::ready);
        pass.start();
        QTRY_VERIFY(QFileInfo(part).size() > 0);
        servePackage(TestResponse{200, package});
        pass.start();
        QVERIFY(ready.wait(10000));
        QVERIFY(failed.isEmpty());
        QCOMPARE(server.requestCount(kPackagePath), 2);
        QCOMPARE(readFile(downloadsPath() + "/ivra-demo/ivra-demo_1.0.0.zip"), package);
    }

    // A staged rollout that has not reached this install keeps its active
    // version: ready at once, nothing downloaded, the reason in the log, and
    // the install's id kept from then on. At 100 % the same install updates.
    void stagedRolloutHoldsBack()
    {
        QVERIFY(setUpWorkingInstall("0.9.0", "#!/bin/sh\n"));
        server.route(kGatewayPath, jsonResponse(gatewayManifest()));
        const auto serveAt = [this](int percent) {
            server.route(kClientPath, jsonResponse(clientManifest(
                                          {{"minimumVersion", "0.9.0"},
                                           {"rollout", QJsonObject{{"percent", percent}}}},
                                          {{"url", "http://releases.test" + kPackagePath},
                                           {"sha256", sha256Hex(package)},
                                           {"sizeBytes", package.size()}})));
        };
        serveAt(0);
        server.route(kPackagePath, TestResponse{200, package});
        const int logStart = logLines().size();
        UpdatePass pass;
        QSignalSpy ready(&pass, &UpdatePass::ready);
        pass.start();
        QVERIFY(ready.wait(10000));
        QCOMPARE(server.requestCount(kPackagePath), 0);
        QVERIFY2(logLinesSince(logStart)
                         .filter(QRegularExpression(" info Update to 1.0.0 held back by the staged "
                                                    "rollout \\(0 % reached, this install at "
                                                    "\\d+\\.\\d %\\)$"))
                         .size() == 1,
                 qPrintable(logLinesSince(logStart).join('\n')));
        const GatewayState state = loadGatewayState(gatewayStatePath()).state;
        QCOMPARE(state.installId.size(), 32);
        QCOMPARE(clientInstallStateFor(state, kProduct).activeVersion, QStringLiteral("0.9.0"));

        serveAt(100);
        pass.start();
        QVERIFY(ready.wait(10000));
        QCOMPARE(server.requestCount(kPackagePath), 1);
        const GatewayState updated = loadGatewayState(gatewayStatePath()).state;
        QCOMPARE(clientInstallStateFor(updated, kProduct).activeVersion, QStringLiteral("1.0.0"));
        QCOMPARE(updated.installId, state.installId);
    }

    void upgradeOfferAndItsDismissal()
    {
        servePackage(TestResponse{200, package},
                     {{"upgrade", QJsonObject{{"url", "https://ivra.example/full"},
                                              {"fullLatestVersion", "3.1.0"}}}});
        UpdatePass pass;
        QSignalSpy ready(&pass, &UpdatePass::ready);
        QSignalSpy dismissed(&pass, &UpdatePass::upgradeOfferDismissed);
        pass.start();
        QVERIFY(ready.wait(10000));
        QCOMPARE(ready.takeFirst().at(0).toBool(), true);
        QCOMPARE(pass.upgradeUrl(), QUrl("https://ivra.example/full"));
        pass.rememberUpgradeDismissal();
        QCOMPARE(dismissed.size(), 1);
        pass.start();
        QVERIFY(ready.wait(10000));
        QCOMPARE(ready.takeFirst().at(0).toBool(), false);
    }

    // What ivra-update prints of a pass: the last line of each report, and its JSON.
    void operatorReport_data()
    {
        QTest::addColumn<PassReport>("report");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("json");
        using R = PassReport::Reason;
        QTest::newRow("updated")
            << PassReport{"1.0.0", "1.1.0", "1.1.0", R::Updated}
            << "Client versions: installed before 1.0.0, latest 1.1.0, installed now 1.1.0."
            << R"({"exitCode":0,"installedAfter":"1.1.0","installedBefore":"1.0.0","latest":"1.1.0","reason":"updated","result":"ready"})";
        QTest::newRow("first install")
            << PassReport{"", "1.1.0", "1.1.0", R::Updated}
            << "Client versions: installed before none, latest 1.1.0, installed now 1.1.0."
            << R"({"exitCode":0,"installedAfter":"1.1.0","installedBefore":"","latest":"1.1.0","reason":"updated","result":"ready"})";
        QTest::newRow("the studio went back")
            << PassReport{"1.10.0", "1.9.0", "1.9.0", changeReason("1.10.0", "1.9.0")}
            << "Client versions: installed before 1.10.0, latest 1.9.0, installed now 1.9.0."
            << R"({"exitCode":0,"installedAfter":"1.9.0","installedBefore":"1.10.0","latest":"1.9.0","reason":"downgraded","result":"ready"})";
        QTest::newRow("held back")
            << PassReport{"1.0.0", "1.1.0", "1.0.0", R::HeldBack, 125}
            << "Nothing changed: the update to 1.1.0 is held back by the staged rollout (12.5 % "
               "reached)."
            << R"({"exitCode":0,"installedAfter":"1.0.0","installedBefore":"1.0.0","latest":"1.1.0","reason":"held-back","result":"ready","rolloutPercent":12.5})";
        QTest::newRow("offline")
            << PassReport{"1.0.0", "", "1.0.0", R::Offline}
            << "Nothing changed: the release service could not be reached."
            << R"({"exitCode":0,"installedAfter":"1.0.0","installedBefore":"1.0.0","latest":null,"reason":"offline","result":"ready"})";
        QTest::newRow("failed before deciding")
            << PassReport{"1.0.0", "", "", R::None} << ""
            << R"({"exitCode":1,"installedAfter":"","installedBefore":"1.0.0","latest":null,"message":"No.","reason":"","result":"failed"})";
    }
    void operatorReport()
    {
        QFETCH(PassReport, report);
        QFETCH(QString, line);
        QFETCH(QString, json);
        QCOMPARE(reportLines(report).value(reportLines(report).size() - 1), line);
        const bool failed = report.reason == PassReport::Reason::None;
        QCOMPARE(QString::fromUtf8(
                     reportJson(report, failed ? "failed" : "ready", failed, failed ? "No." : "")),
                 json);
    }

    // At most a line per 10 % and per 5 s, whichever comes later.
    void progressThrottle()
    {
        ProgressThrottle throttle;
        throttle.restart(1000);
        const QList<QPair<qint64, int>> reached{{1900, 100}, {5900, 50},  {6000, 50},
                                                {8000, 90},  {11000, 55}, {11100, 70}};
        QStringList printed;
        for (const auto &[ms, percent] : reached)
            if (throttle.due(ms, percent))
                printed << QStringLiteral("%1@%2").arg(percent).arg(ms);
        QCOMPARE(printed, QStringList({"50@6000", "70@11100"}));
    }

    // Mirrors: the same path on each host, and the order a pass asks them in.
    void releaseHostRules()
    {
        const QList<QUrl> hosts =
            releaseHostList("https://cdn.test/ivra/", " https://m1.test:8444;ftp://x.test;"
                                                      "https://cdn.test/ivra;http://m2.test/a/b");
        QCOMPARE(hosts, QList<QUrl>({QUrl("https://cdn.test/ivra"), QUrl("https://m1.test:8444"),
                                     QUrl("http://m2.test/a/b")}));
        const QList<QPair<QString, QString>> moves{
            {"https://cdn.test/ivra/releases/x%20y.zip?product=p",
             "http://m2.test/a/b/releases/x%20y.zip?product=p"},
            {"https://cdn.test:443/ivra/r.json", "http://m2.test/a/b/r.json"},
            {"https://cdn.test/ivra", "http://m2.test/a/b"},
            {"https://cdn.test/ivrax/r.json", ""},
            {"http://cdn.test/ivra/r.json", ""},
            {"https://cdn.test:8443/ivra/r.json", ""},
            {"https://other.test/ivra/r.json", ""}};
        for (const auto &[from, to] : moves)
            QCOMPARE(rebasedUrl(QUrl(from), hosts.at(0), hosts.at(2)).toString(QUrl::FullyEncoded),
                     to);
        const qint64 day = 24 * 60 * 60;
        const QList<std::tuple<int, qint64, QList<int>>> orders{
            {-1, 0, {0, 1, 2}},     {0, day - 5, {0, 1, 2}}, {2, day - 5, {2, 0, 1}},
            {1, 5, {1, 0, 2}},      {2, 0, {0, 1, 2}},       {2, day + 100, {0, 1, 2}},
            {7, day - 5, {0, 1, 2}}};
        for (const auto &[lastGood, since, order] : orders)
            QCOMPARE(passHostOrder(3, lastGood, since, day), order);

        // Within a pass: the manifest's host first, a host that could not be
        // reached not again while another is left; what the next pass starts
        // from, and when.
        QNetworkAccessManager manager;
        ReleaseHosts pass(hosts, &manager);
        QCOMPARE(ReleaseHosts::of(&manager), &pass);
        auto first = [&pass](const QString &url) {
            QStringList order;
            for (const QUrl &candidate : pass.candidates(QUrl(url)))
                order << candidate.host();
            return order.join(' ');
        };
        const QString artifact = "https://cdn.test/ivra/releases/a.zip";
        QCOMPARE(first("https://elsewhere.test/ivra/releases/a.zip"), "elsewhere.test");
        pass.beginPass({"http://m2.test/a/b", day - 10}, day);
        QCOMPARE(first(artifact), "m2.test cdn.test m1.test");
        pass.skip(QUrl("http://m2.test/a/b/releases/m.json"), "HTTP 503", false);
        QCOMPARE(first(artifact), "m2.test cdn.test m1.test");
        pass.skip(QUrl("https://cdn.test/ivra/releases/m.json"), "Connection refused", true);
        QCOMPARE(first(artifact), "m2.test m1.test");
        pass.served(QUrl("https://m1.test:8444/releases/m.json"));
        QCOMPARE(first("http://m2.test/a/b/releases/a.zip"), "m1.test m2.test");
        QCOMPARE(pass.choiceAfterPass({"http://m2.test/a/b", day - 10}, day).url,
                 "https://m1.test:8444");
        QCOMPARE(pass.choiceAfterPass({"http://m2.test/a/b", day - 10}, day).sinceSecs, day);
        pass.served(QUrl("http://m2.test/a/b/releases/m.json"));
        QCOMPARE(pass.choiceAfterPass({"http://m2.test/a/b", day - 10}, day).sinceSecs, day - 10);
        // With every host out of reach, all are asked again rather than none.
        for (const char *url : {"http://m2.test/a/b/r.json", "https://m1.test:8444/r.json"})
            pass.skip(QUrl(url), "Connection refused", true);
        QCOMPARE(first(artifact), "m2.test cdn.test m1.test");
        const QString state = gatewayStatePath();
        QVERIFY(saveReleaseHostChoice(state, {"http://m2.test/a/b", day - 10}));
        QCOMPARE(loadGatewayState(state).state.releaseHost.sinceSecs, day - 10);
    }
};

Q_DECLARE_METATYPE(PassReport)

QTEST_GUILESS_MAIN(UpdatePassTest)
#include "tst_updatepass.moc"
