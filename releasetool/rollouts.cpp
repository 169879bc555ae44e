#include "releasetool/rollouts.h"

#include "release/clientrelease.h"
#include "release/gatewayrelease.h"
#include "releasetool/signing.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
const QString kRollout = QStringLiteral("rollout");
// What a paused schedule keeps, so that resume can shift it by the pause.
const QString kPausedSchedule = QStringLiteral("pausedSchedule");
const QString kPausedAt = QStringLiteral("pausedAt");

QString utcText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

// The manifest's own parser judges the rewritten manifest, as a launcher will.
QString checkManifest(const QString &name, const QByteArray &data)
{
    const QString error = name.startsWith(QLatin1String("gateway-"))
                              ? parseGatewayRelease(data).error
                              : parseClientRelease(data).error;
    return error.isEmpty() ? error : QStringLiteral("%1: %2").arg(name, error);
}
} // namespace

QString rolloutFromOptions(const QString &share, const QString &schedule, const QString &start,
                           const QDateTime &now, ReleaseRollout &rollout)
{
    if (!share.isEmpty() && !schedule.isEmpty())
        return QStringLiteral("--rollout and --rollout-schedule exclude each other.");
    if (!share.isEmpty()) {
        rollout = ReleaseRollout();
        rollout.present = true;
        if (!parseShare(share, rollout.share))
            return QStringLiteral("--rollout takes a percentage from 0 to 100 with at most one "
                                  "decimal: %1")
                .arg(share);
        return QString();
    }
    if (schedule.isEmpty())
        return start.isEmpty() ? QString()
                               : QStringLiteral("--rollout-start needs --rollout-schedule.");
    QDateTime from = now;
    if (!start.isEmpty()) {
        from = QDateTime::fromString(start, Qt::ISODate);
        if (!start.endsWith(QLatin1Char('Z')) || !from.isValid())
            return QStringLiteral(
                       "--rollout-start takes a UTC time such as 2026-12-01T00:00:00Z: %1")
                .arg(start);
    }
    const QString steps =
        schedule == QLatin1String("default") ? defaultRolloutSchedule() : schedule;
    return parseRolloutSchedule(steps, from, rollout);
}

namespace {
// A schedule put aside by --pause or --halt: said beside the share in force.
QString pausedText(const QJsonObject &rollout)
{
    if (!rollout.contains(kPausedSchedule))
        return QString();
    return QStringLiteral(", paused since %1 (--resume continues its schedule)")
        .arg(rollout.value(kPausedAt).toString());
}
} // namespace

QString describeRollout(const ReleaseRollout &rollout, const QDateTime &now)
{
    if (!rollout.present)
        return QStringLiteral("rollout: none (every install)");
    QString text =
        QStringLiteral("rollout: %1 % in force").arg(shareText(rolloutShareAt(rollout, now)));
    if (!rollout.scheduled)
        return text + QStringLiteral(" (a fixed share)");
    QStringList steps;
    for (const RolloutStep &step : rollout.steps)
        steps << QStringLiteral("%1 % from %2")
                     .arg(shareText(step.share),
                          utcText(rollout.start.addSecs(step.afterHours * 3600)));
    return text + QStringLiteral(", schedule: ") + steps.join(QStringLiteral(", "));
}

QString changeRollout(const QString &treeRoot, const QString &manifestName,
                      const RolloutChange &change, const ReleaseSecretKey &signingKey,
                      const QDateTime &now, QStringList *report)
{
    const QString path =
        QDir(treeRoot).absoluteFilePath(QStringLiteral("releases/manifests/%1").arg(manifestName));
    QByteArray data;
    QString error = readWholeFile(path, data);
    if (!error.isEmpty())
        return error;
    error = checkManifest(manifestName, data);
    if (!error.isEmpty())
        return error;
    QJsonObject manifest = QJsonDocument::fromJson(data).object();
    ReleaseRollout rollout;
    readOptionalRollout(manifest, rollout);
    const QJsonObject old = manifest.value(kRollout).toObject();

    QJsonObject next;
    switch (change.kind) {
    case RolloutChange::Status:
        if (report)
            report->append(QStringLiteral("%1: %2%3")
                               .arg(manifestName, describeRollout(rollout, now), pausedText(old)));
        return QString();
    case RolloutChange::SetShare:
    case RolloutChange::Complete:
        rollout = ReleaseRollout();
        rollout.present = true;
        rollout.share = change.kind == RolloutChange::Complete ? kFullShare : change.share;
        next = rolloutJson(rollout);
        break;
    case RolloutChange::Pause:
    case RolloutChange::Halt: {
        const bool paused = old.contains(kPausedSchedule);
        if (change.kind == RolloutChange::Pause && !rollout.scheduled)
            return QStringLiteral("%1: the rollout is not a running schedule, nothing to pause.")
                .arg(manifestName);
        ReleaseRollout fixed;
        fixed.present = true;
        fixed.share = change.kind == RolloutChange::Halt ? 0 : rolloutShareAt(rollout, now);
        next = rolloutJson(fixed);
        // A halted schedule can be resumed like a paused one.
        if (rollout.scheduled) {
            next.insert(kPausedSchedule, rolloutJson(rollout));
            next.insert(kPausedAt, utcText(now));
        } else if (paused) {
            next.insert(kPausedSchedule, old.value(kPausedSchedule));
            next.insert(kPausedAt, old.value(kPausedAt));
        }
        break;
    }
    case RolloutChange::Resume: {
        ReleaseRollout schedule;
        const QDateTime pausedAt =
            QDateTime::fromString(old.value(kPausedAt).toString(), Qt::ISODate);
        if (!readOptionalRollout(QJsonObject{{kRollout, old.value(kPausedSchedule)}}, schedule)
                 .isEmpty() ||
            !schedule.scheduled || !pausedAt.isValid())
            return QStringLiteral("%1: the rollout is not paused, nothing to resume.")
                .arg(manifestName);
        // Shifted by the time it stood still, so that no step is skipped.
        schedule.start = schedule.start.addSecs(pausedAt.secsTo(now));
        next = rolloutJson(schedule);
        rollout = schedule;
        break;
    }
    }
    readOptionalRollout(QJsonObject{{kRollout, next}}, rollout);
    manifest.insert(kRollout, next);
    const QByteArray rewritten = QJsonDocument(manifest).toJson(QJsonDocument::Indented);
    error = checkManifest(manifestName, rewritten);
    if (!error.isEmpty())
        return error;
    const bool signedTree = QFileInfo::exists(path + QStringLiteral(".minisig"));
    if (signingKey.seed.isEmpty() && signedTree)
        return QStringLiteral("%1 is signed: give --secret-key to sign the rewritten manifest "
                              "(launchers refuse it unsigned).")
            .arg(manifestName);
    if (!signingKey.seed.isEmpty()) {
        error = writeSignatureFor(path, rewritten, signingKey);
        if (!error.isEmpty())
            return error;
    }
    error = writeFileAtomically(path, rewritten);
    if (!error.isEmpty())
        return error;
    if (report)
        report->append(QStringLiteral("%1: %2%3")
                           .arg(manifestName, describeRollout(rollout, now), pausedText(next)));
    return QString();
}
