// The pass with build settings that cannot work. Built once per settings
// variant; IVRA_VARIANT names the one linked in.
#include "storage/paths.h"
#include "support/testserver.h"
#include "support/testutil.h"
#include "ui/mainwindow.h"

#include <QJsonObject>
#include <QPushButton>
#include <QTest>

using namespace TestUtil;

class BuildSettingsTest : public QObject
{
    Q_OBJECT

private:
    TestServer server;

    void expectFailureWithoutRequest(MainWindow &window, const QString &message)
    {
        QCOMPARE(statusText(&window), message);
        QVERIFY(!isShown(&window, "downloadButton"));
        QVERIFY(!isShown(&window, "launchButton"));
        QTest::qWait(200);
        QCOMPARE(server.requests().size(), 0);
    }

private Q_SLOTS:
    void initTestCase()
    {
        installTestLogging();
        server.installAsProxy();
    }

#if IVRA_VARIANT == 1
    // Gateway setting blank: the built-in default is asked; client setting empty: not configured.
    void blankSettings()
    {
        server.route(QStringLiteral("/releases/manifests/gateway-demo.json"),
                     jsonResponse(gatewayManifest()));
        MainWindow window;
        QTRY_COMPARE(statusText(&window), QStringLiteral("Client release URL is not configured."));
        QVERIFY(!isShown(&window, "downloadButton"));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().first().host, QStringLiteral("fallback.test"));
        QCOMPARE(server.requests().first().query.query(), QStringLiteral("edition=demo"));
    }
#elif IVRA_VARIANT == 2
    void invalidBuildVersion()
    {
        MainWindow window;
        expectFailureWithoutRequest(
            window,
            QStringLiteral(
                "Invalid Gateway version: Version '2026.1024' must use numeric x.y.z format."));
    }
#elif IVRA_VARIANT == 3
    void unknownBuildEdition()
    {
        MainWindow window;
        expectFailureWithoutRequest(window, QStringLiteral("Invalid Gateway edition: beta"));
    }
#elif IVRA_VARIANT == 4
    // A full build never shows the offer of the full product, whatever the manifest says.
    void fullEditionNeverOffersTheUpgrade()
    {
        server.route(QStringLiteral("/releases/manifests/gateway-full.json"),
                     jsonResponse(gatewayManifest(
                         {{"edition", "full"},
                          {"upgrade", QJsonObject{{"url", "https://ivra.example/full"},
                                                  {"fullLatestVersion", "3.1.0"}}}})));
        const QString exe =
            clientVersionPath(QStringLiteral("ivra-full"), QStringLiteral("1.0.0")) + "/bin/client";
        QVERIFY(writeFile(exe, "#!/bin/sh\n"));
        QVERIFY(recordOnDisk(QStringLiteral("ivra-full"), QStringLiteral("1.0.0")));
        server.route(QStringLiteral("/releases/manifests/client-ivra-full.json"),
                     jsonResponse(clientManifest({{"product", "ivra-full"}})));
        MainWindow window;
        QTRY_COMPARE(statusText(&window), QStringLiteral("IVRA ENGINE 2.0 Beta is ready."));
        QCOMPARE(server.requests().first().query.query(), QStringLiteral("edition=full"));
        QCOMPARE(server.requests().last().query.query(), QStringLiteral("product=ivra-full"));
        QVERIFY(!isShown(&window, "upgradeLabel"));
        QVERIFY(!isShown(&window, "upgradeButton"));
        QVERIFY(!isShown(&window, "rememberUpgradeButton"));
    }
#endif
};

QTEST_MAIN(BuildSettingsTest)
#include "tst_buildsettings.moc"
