#pragma once

#include "release/rollout.h"
#include "release/signature.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// The publisher's side of staged rollouts: the share or schedule a release is
// published with, and changes to the rollout of a published manifest that
// leave its release untouched.

// A rollout from the tool's options: a share ("50", "12.5"), or a schedule
// ("hours:percent,...", or "default") from a start time (ISO 8601 with Z;
// empty: now). Neither given: no rollout.
QString rolloutFromOptions(const QString &share, const QString &schedule, const QString &start,
                           const QDateTime &now, ReleaseRollout &rollout);

struct RolloutChange
{
    enum Kind { SetShare, Pause, Resume, Halt, Complete, Status };
    Kind kind = Status;
    int share = 0; // SetShare
};

// Rewrites the rollout of releases/manifests/<manifestName> below treeRoot as
// change asks (Status rewrites nothing), signed with signingKey when it has
// one; a signed manifest is never rewritten without a key. report receives
// the share in force and the schedule.
QString changeRollout(const QString &treeRoot, const QString &manifestName,
                      const RolloutChange &change, const ReleaseSecretKey &signingKey,
                      const QDateTime &now, QStringList *report = nullptr);

// What a manifest's rollout means now, for check and status: "rollout: 50 % in force ...".
QString describeRollout(const ReleaseRollout &rollout, const QDateTime &now);
