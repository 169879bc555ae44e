// The pass with build settings that cannot work. Built once per settings
// variant; IVRA_VARIANT names the one linked in.
#include "support/testserver.h"
#include "support/testutil.h"
#include "ui/mainwindow.h"

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
        server.route(QStringLiteral("/releases/manifests/gateway-demo.json"), jsonResponse(gatewayManifest()));
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
            window, QStringLiteral("Invalid Gateway version: Version '2026.1024' must use numeric x.y.z format."));
    }
#elif IVRA_VARIANT == 3
    void unknownBuildEdition()
    {
        MainWindow window;
        expectFailureWithoutRequest(window, QStringLiteral("Invalid Gateway edition: beta"));
    }
#endif
};

QTEST_MAIN(BuildSettingsTest)
#include "tst_buildsettings.moc"
