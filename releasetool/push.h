#pragma once

#include <QString>
#include <QStringList>

// Uploading a release tree to object storage (S3, R2, GCS, Azure, B2, SFTP,
// WebDAV: whatever rclone reaches) in the order that never exposes a
// manifest before its files: every artifact first (skipped when the
// destination already holds the same bytes, refused with nothing written when
// it holds other bytes under that name), then a check that each new one is
// there, then the signatures and the manifests. Stopped at any point and run
// again, it finishes the job. Credentials stay where rclone keeps them (its
// config file, RCLONE_CONFIG_* and the provider's environment variables).
struct PushOptions
{
    QString treeRoot;
    QString destination; // an rclone path: remote:bucket/prefix, or a local folder
    bool dryRun = false; // report what would be uploaded, write nothing
    QString rclone = QStringLiteral("rclone");
};

// Empty on success, else what stopped the push; report gets a line per step.
QString pushReleaseTree(const PushOptions &options, QStringList *report);

// Whether a tree file is published last: the manifests and their signatures.
bool isPublishedLast(const QString &relativePath);
