// The two update decisions as pure functions: a parsed manifest and what is
// installed in, what the pass does out. No network, no window, no disk.
#include "release/clientdecision.h"
#include "release/gatewaydecision.h"

#include <QTest>

Q_DECLARE_METATYPE(GatewayAction)
Q_DECLARE_METATYPE(ClientAction)

class DecisionsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void gateway_data()
    {
        QTest::addColumn<QString>("edition");
        QTest::addColumn<QString>("latest");
        QTest::addColumn<QString>("minimum");
        QTest::addColumn<GatewayAction>("action");
        QTest::addColumn<QString>("message");
        const QString invalid = QStringLiteral("Gateway manifest contains invalid version data.");
        QTest::newRow("equal") << "demo"
                               << "2026.1024.1"
                               << "2026.1024.1" << GatewayAction::Current << "";
        QTest::newRow("older: no downgrade") << "demo"
                                             << "2026.1024.0"
                                             << "2026.1000.0" << GatewayAction::Current << "";
        QTest::newRow("newer, minimum met") << "demo"
                                            << "2026.1024.2"
                                            << "2026.1024.0" << GatewayAction::SelfUpdate << "";
        QTest::newRow("below minimum") << "demo"
                                       << "2027.1.0"
                                       << "2027.0.0" << GatewayAction::SelfUpdate << "";
        QTest::newRow("edition case and blanks") << " Demo "
                                                 << "2026.1024.1"
                                                 << "2026.1024.1" << GatewayAction::Current << "";
        QTest::newRow("other edition")
            << "Full"
            << "2026.1024.1"
            << "2026.1024.1" << GatewayAction::Refuse
            << "Gateway manifest edition 'Full' does not match this Gateway build 'demo'.";
        QTest::newRow("bad latest") << "demo"
                                    << "1.0"
                                    << "1.0.0" << GatewayAction::Refuse << invalid;
        QTest::newRow("bad minimum") << "demo"
                                     << "2026.1024.1"
                                     << "x" << GatewayAction::Refuse << invalid;
        QTest::newRow("latest below minimum")
            << "demo"
            << "2026.1024.1"
            << "2026.1025.0" << GatewayAction::Refuse
            << "Gateway manifest latest version is below minimum version.";
    }
    void gateway()
    {
        GatewayRelease release;
        QFETCH(QString, edition);
        QFETCH(QString, latest);
        QFETCH(QString, minimum);
        QFETCH(GatewayAction, action);
        QFETCH(QString, message);
        release.edition = edition;
        release.latestVersion = latest;
        release.minimumVersion = minimum;
        const GatewayDecision decision = decideGatewayUpdate(release, "2026.1024.1", " DEMO");
        QCOMPARE(decision.action, action);
        QCOMPARE(decision.message, message);
        if (action != GatewayAction::Refuse)
            QCOMPARE(
                decision.versions,
                QStringLiteral("build 2026.1024.1, latest %1, minimum %2").arg(latest, minimum));
    }

    // Which way an outdated build replaces itself: a manifest without a
    // package for the platform is the installer, as it always was.
    void selfUpdate_data()
    {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<bool>("perUser");
        QTest::addColumn<QString>("minimum");
        QTest::addColumn<QStringList>("failed");
        QTest::addColumn<int>("route");
        const QStringList none;
        QTest::newRow("no package for it")
            << "linux-aarch64" << true << "2026.1024.0" << none << int(SelfUpdateRoute::Installer);
        QTest::newRow("no platform (Windows)")
            << "" << true << "2026.1024.0" << none << int(SelfUpdateRoute::Installer);
        QTest::newRow("per user") << "linux-x86_64" << true << "2026.1024.0" << none
                                  << int(SelfUpdateRoute::Package);
        QTest::newRow("failed before")
            << "linux-x86_64" << true << "2026.1024.0" << QStringList{"2026.1030.0"}
            << int(SelfUpdateRoute::FailedBefore);
        // After a rollback by hand marked the newer builds failed, a newer one is tried.
        QTest::newRow("newer than the failed ones")
            << "linux-x86_64" << true << "2026.1030.0" << QStringList{"2026.1025.0", "2026.1029.0"}
            << int(SelfUpdateRoute::Package);
        QTest::newRow("read-only, minimum met") << "linux-x86_64" << false << "2026.1024.1" << none
                                                << int(SelfUpdateRoute::CannotReplace);
        QTest::newRow("read-only, below minimum")
            << "linux-x86_64" << false << "2026.1030.0" << none << int(SelfUpdateRoute::TooOld);
    }
    void selfUpdate()
    {
        QFETCH(QString, platform);
        QFETCH(bool, perUser);
        QFETCH(QString, minimum);
        QFETCH(QStringList, failed);
        QFETCH(int, route);
        GatewayRelease release;
        release.latestVersion = QStringLiteral("2026.1030.0");
        release.minimumVersion = minimum;
        release.packages.insert(QStringLiteral("linux-x86_64"), LauncherPackage());
        QCOMPARE(int(selfUpdateRoute(release, "2026.1024.1", platform, perUser, failed)), route);
    }

    void client_data()
    {
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("minimum");
        QTest::addColumn<QString>("active");
        QTest::addColumn<QString>("activeExe");
        QTest::addColumn<QString>("latestExe");
        QTest::addColumn<ClientAction>("action");
        QTest::addColumn<QString>("result"); // the executable, or the message
        const QString a = QStringLiteral("/v/1.0.0/bin/c");
        const QString l = QStringLiteral("/v/1.1.0/bin/c");
        QTest::newRow("fresh machine") << "ivra-demo"
                                       << "1.0.0"
                                       << ""
                                       << ""
                                       << "" << ClientAction::Install << "";
        QTest::newRow("fresh machine, latest unpacked") << "ivra-demo"
                                                        << "1.0.0"
                                                        << ""
                                                        << "" << l << ClientAction::Adopt << l;
        QTest::newRow("active is latest") << "ivra-demo"
                                          << "1.0.0"
                                          << "1.1.0" << l << l << ClientAction::Ready << l;
        QTest::newRow("active is latest, its launch file gone")
            << "ivra-demo"
            << "1.0.0"
            << "1.1.0"
            << ""
            << "" << ClientAction::Install << "";
        QTest::newRow("older active") << "ivra-demo"
                                      << "1.0.0"
                                      << "1.0.0" << a << "" << ClientAction::Install << "";
        QTest::newRow("older active, latest unpacked")
            << "ivra-demo"
            << "1.0.0"
            << "1.0.0" << a << l << ClientAction::Adopt << l;
        QTest::newRow("newer active: the manifest's version wins")
            << "ivra-demo"
            << "1.0.0"
            << "2.0.0" << a << "" << ClientAction::Install << "";
        QTest::newRow("versions are text") << "ivra-demo"
                                           << "1.0.0"
                                           << "01.1.0" << a << "" << ClientAction::Install << "";
        QTest::newRow("other product")
            << "ivra-full"
            << "1.0.0"
            << "1.1.0" << l << l << ClientAction::Refuse
            << "Client manifest product 'ivra-full' does not match this Gateway build 'ivra-demo'.";
        QTest::newRow("bad minimum")
            << "ivra-demo"
            << "1.0"
            << ""
            << ""
            << "" << ClientAction::Refuse << "Client manifest contains invalid version data.";
        QTest::newRow("latest below minimum")
            << "ivra-demo"
            << "1.2.0"
            << "1.1.0" << l << l << ClientAction::Refuse
            << "Client manifest latest version is below minimum version.";
    }
    void client()
    {
        ClientRelease release;
        QFETCH(QString, product);
        QFETCH(QString, minimum);
        QFETCH(ClientAction, action);
        QFETCH(QString, result);
        release.product = product;
        release.latestVersion = QStringLiteral("1.1.0");
        release.minimumVersion = minimum;
        QFETCH(QString, active);
        QFETCH(QString, activeExe);
        QFETCH(QString, latestExe);
        const InstalledClient installed{active, activeExe, latestExe};
        const ClientDecision decision = decideClientUpdate(release, "ivra-demo", installed);
        QCOMPARE(decision.action, action);
        QCOMPARE(action == ClientAction::Refuse ? decision.message : decision.executable, result);
    }
};

QTEST_APPLESS_MAIN(DecisionsTest)
#include "tst_decisions.moc"
