// Staged rollouts as pure rules: reading the manifest's "rollout", the share
// a schedule has reached, where an install stands, and what the decisions do
// with it. No network, no window.
#include "release/clientdecision.h"
#include "release/gatewaydecision.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

Q_DECLARE_METATYPE(ClientAction)

namespace {
QJsonObject manifestWith(const char *rollout)
{
    return QJsonDocument::fromJson(QByteArray("{\"rollout\": ") + rollout + "}").object();
}

QByteArray randomId(QRandomGenerator &random)
{
    QByteArray id(16, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32 *>(id.data()), 4);
    return id;
}

ReleaseRollout defaultSchedule(const QDateTime &start)
{
    ReleaseRollout rollout;
    parseRolloutSchedule(defaultRolloutSchedule(), start, rollout);
    return rollout;
}
} // namespace

class RolloutTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsBothForms()
    {
        ReleaseRollout rollout;
        QCOMPARE(readOptionalRollout(QJsonObject(), rollout), QString());
        QVERIFY(!rollout.present);
        QCOMPARE(rolloutShareAt(rollout, QDateTime::currentDateTimeUtc()), kFullShare);
        QCOMPARE(readOptionalRollout(manifestWith(R"({"percent": 12.5})"), rollout), QString());
        QVERIFY(rollout.present && !rollout.scheduled);
        QCOMPARE(rollout.share, 125);
        // The tool's pause keeps the schedule beside the share it reached; a fixed share.
        QCOMPARE(
            readOptionalRollout(manifestWith(R"({"percent": 5, "pausedSchedule": {}})"), rollout),
            QString());
        QCOMPARE(rolloutShareAt(rollout, QDateTime()), 50);
        const char *schedule = R"({"start": "2026-12-01T00:00:00Z", "steps": [
            {"afterHours": 0, "percent": 1}, {"afterHours": 24, "percent": 10},
            {"afterHours": 48, "percent": 100}]})";
        QCOMPARE(readOptionalRollout(manifestWith(schedule), rollout), QString());
        QVERIFY(rollout.scheduled);
        QCOMPARE(QJsonDocument(rolloutJson(rollout)).toJson(QJsonDocument::Compact),
                 QJsonDocument(manifestWith(schedule).value("rollout").toObject())
                     .toJson(QJsonDocument::Compact));
    }

    void malformed_data()
    {
        QTest::addColumn<QByteArray>("rollout");
        QTest::addColumn<QString>("message");
        const QString percent =
            "Invalid rollout metadata: Required field 'percent' must be a percentage from 0 to "
            "100 with at most one decimal.";
        QTest::newRow("above 100") << QByteArray(R"({"percent": 100.1})") << percent;
        QTest::newRow("negative") << QByteArray(R"({"percent": -1})") << percent;
        QTest::newRow("two decimals") << QByteArray(R"({"percent": 12.55})") << percent;
        QTest::newRow("text") << QByteArray(R"({"percent": "50"})") << percent;
        QTest::newRow("not an object")
            << QByteArray("50") << "Optional field 'rollout' must be an object.";
        QTest::newRow("unknown form")
            << QByteArray(R"({"share": 50})")
            << "Invalid rollout metadata: it must hold either 'percent' or 'start' and 'steps'.";
        QTest::newRow("both forms")
            << QByteArray(R"({"percent": 5, "steps": []})")
            << "Invalid rollout metadata: it must hold either 'percent' or 'start' and 'steps'.";
        QTest::newRow("bad time")
            << QByteArray(
                   R"({"start": "2026-12-01 00:00", "steps": [{"afterHours": 0, "percent": 1}]})")
            << "Invalid rollout metadata: Required field 'start' must be a UTC time such as "
               "2026-12-01T00:00:00Z.";
        QTest::newRow("local time")
            << QByteArray(
                   R"({"start": "2026-12-01T00:00:00+01:00", "steps": [{"afterHours": 0, "percent": 1}]})")
            << "Invalid rollout metadata: Required field 'start' must be a UTC time such as "
               "2026-12-01T00:00:00Z.";
        QTest::newRow("not from 0")
            << QByteArray(
                   R"({"start": "2026-12-01T00:00:00Z", "steps": [{"afterHours": 1, "percent": 1}]})")
            << "Invalid rollout metadata: Required field 'steps' must list hours ascending from 0.";
        QTest::newRow("hours not ascending")
            << QByteArray(
                   R"({"start": "2026-12-01T00:00:00Z", "steps": [{"afterHours": 0, "percent": 1}, {"afterHours": 0, "percent": 5}]})")
            << "Invalid rollout metadata: Required field 'steps' must list hours ascending from 0.";
        QTest::newRow("share going down")
            << QByteArray(
                   R"({"start": "2026-12-01T00:00:00Z", "steps": [{"afterHours": 0, "percent": 5}, {"afterHours": 9, "percent": 1}]})")
            << "Invalid rollout metadata: Required field 'steps' must not lower the percentage.";
        QTest::newRow("hours without end")
            << QByteArray(
                   R"({"start": "2026-12-01T00:00:00Z", "steps": [{"afterHours": 0, "percent": 1}, {"afterHours": 1e18, "percent": 5}]})")
            << "Invalid rollout metadata: Required field 'afterHours' must be at most 876000 (100 "
               "years).";
        QTest::newRow("no steps") << QByteArray(R"({"start": "2026-12-01T00:00:00Z", "steps": []})")
                                  << "Invalid rollout metadata: Required field 'steps' must not be "
                                     "empty.";
    }
    void malformed()
    {
        QFETCH(QByteArray, rollout);
        QFETCH(QString, message);
        ReleaseRollout read;
        QCOMPARE(readOptionalRollout(manifestWith(rollout.constData()), read), message);
        QVERIFY(!read.present);
    }

    void scheduleAdvancesWithTheClock()
    {
        const QDateTime start(QDate(2026, 12, 1), QTime(0, 0), Qt::UTC);
        const ReleaseRollout rollout = defaultSchedule(start);
        QCOMPARE(rolloutShareAt(rollout, start.addSecs(-1)), 0);
        QCOMPARE(rolloutShareAt(rollout, start), 10);
        QCOMPARE(rolloutShareAt(rollout, start.addSecs(47 * 3600)), 20);
        QCOMPARE(rolloutShareAt(rollout, start.addSecs(48 * 3600)), 50);
        QCOMPARE(rolloutShareAt(rollout, start.addDays(6)), kFullShare);
        QCOMPARE(rolloutShareAt(rollout, start.addDays(600)), kFullShare);
        QCOMPARE(rolloutCompletion(rollout), start.addDays(6));
    }

    // 10,000 installs at 10 %: 9 to 11 % in; each stays in as the share grows;
    // another release picks other installs. Then the default schedule, step by
    // step, over 1,000 installs.
    void positionsSpreadInstalls()
    {
        QRandomGenerator random(20261209);
        int in = 0;
        int inBoth = 0;
        for (int i = 0; i < 10000; ++i) {
            const QByteArray id = randomId(random);
            const double first = rolloutPosition(id, "1.1.0");
            in += isInRollout(first, 100);
            inBoth += isInRollout(first, 100) && isInRollout(rolloutPosition(id, "1.2.0"), 100);
            QVERIFY(!isInRollout(first, 50) || isInRollout(first, 100));
        }
        QVERIFY2(in >= 900 && in <= 1100, qPrintable(QString::number(in)));
        QVERIFY2(inBoth < 250, qPrintable(QString::number(inBoth))); // about 1 %, not 10 %

        const QDateTime start(QDate(2026, 12, 1), QTime(0, 0), Qt::UTC);
        const ReleaseRollout rollout = defaultSchedule(start);
        QList<QByteArray> installs;
        for (int i = 0; i < 1000; ++i)
            installs << randomId(random);
        QStringList table;
        for (const RolloutStep &step : rollout.steps) {
            const int share = rolloutShareAt(rollout, start.addSecs(step.afterHours * 3600));
            int updated = 0;
            for (const QByteArray &id : installs)
                updated += isInRollout(rolloutPosition(id, "2.0.0"), share);
            table << QStringLiteral("%1 h: %2 % due, %3 of 1000 updated")
                         .arg(step.afterHours)
                         .arg(shareText(share))
                         .arg(updated);
            QVERIFY(qAbs(updated - share) <= 25);
        }
        qInfo("%s", qPrintable(table.join("; ")));
    }

    void clientDecision_data()
    {
        QTest::addColumn<int>("share");
        QTest::addColumn<QString>("active");
        QTest::addColumn<QString>("activeExe");
        QTest::addColumn<QString>("latestExe");
        QTest::addColumn<bool>("held");
        QTest::addColumn<ClientAction>("action");
        const QString exe = QStringLiteral("/x/bin/c");
        QTest::newRow("not reached: held back")
            << 0 << "1.0.0" << exe << "" << false << ClientAction::HeldBack;
        QTest::newRow("reached") << 1000 << "1.0.0" << exe << "" << false << ClientAction::Install;
        QTest::newRow("first install") << 0 << ""
                                       << ""
                                       << "" << false << ClientAction::Install;
        QTest::newRow("nothing to launch") << 0 << "1.0.0"
                                           << ""
                                           << "" << false << ClientAction::Install;
        QTest::newRow("below the minimum")
            << 0 << "0.9.0" << exe << "" << false << ClientAction::Install;
        QTest::newRow("already unpacked")
            << 0 << "1.0.0" << exe << exe << false << ClientAction::Adopt;
        QTest::newRow("already the latest")
            << 0 << "1.1.0" << exe << exe << false << ClientAction::Ready;
        // 1.1.0 published again over a bad 1.2.0, with the rollout halted: for everyone.
        QTest::newRow("a rollback, halted")
            << 0 << "1.2.0" << exe << "" << false << ClientAction::Install;
        // The player rolled back: reached or unpacked, an optional update waits.
        QTest::newRow("player's hold, reached")
            << 1000 << "1.0.0" << exe << "" << true << ClientAction::HeldBack;
        QTest::newRow("player's hold, unpacked")
            << 1000 << "1.0.0" << exe << exe << true << ClientAction::HeldBack;
        QTest::newRow("player's hold, required")
            << 1000 << "0.9.0" << exe << "" << true << ClientAction::Install;
        QTest::newRow("player's hold, nothing to launch") << 1000 << "1.0.0"
                                                          << ""
                                                          << "" << true << ClientAction::Install;
    }
    void clientDecision()
    {
        QFETCH(int, share);
        QFETCH(QString, active);
        QFETCH(QString, activeExe);
        QFETCH(QString, latestExe);
        QFETCH(bool, held);
        QFETCH(ClientAction, action);
        ClientRelease release;
        release.product = "ivra-demo";
        release.latestVersion = "1.1.0";
        release.minimumVersion = "1.0.0";
        const RolloutStanding standing{share, 0.5};
        const ClientDecision decision =
            decideClientUpdate(release, "ivra-demo",
                               InstalledClient{active, activeExe, latestExe, held}, {}, standing);
        QCOMPARE(decision.action, action);
    }

    // The build's own version is the active one: held back only while it meets the minimum.
    void gatewayDecision()
    {
        GatewayRelease release;
        release.edition = "demo";
        release.latestVersion = "2026.1030.0";
        release.minimumVersion = "2026.1024.0";
        const RolloutStanding out{100, 0.5};
        const RolloutStanding in{600, 0.5};
        QCOMPARE(decideGatewayUpdate(release, "2026.1024.1", "demo", {}, out).action,
                 GatewayAction::HeldBack);
        QCOMPARE(decideGatewayUpdate(release, "2026.1024.1", "demo", {}, in).action,
                 GatewayAction::SelfUpdate);
        QCOMPARE(decideGatewayUpdate(release, "2026.1020.0", "demo", {}, out).action,
                 GatewayAction::SelfUpdate);
        QCOMPARE(decideGatewayUpdate(release, "2026.1030.0", "demo", {}, out).action,
                 GatewayAction::Current);
    }
};

QTEST_APPLESS_MAIN(RolloutTest)
#include "tst_rollout.moc"
