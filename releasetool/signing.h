#pragma once

#include "release/signature.h"

#include <QList>
#include <QString>
#include <QStringList>

// The release engineer's side of signed releases. Each function returns an
// empty string on success and the first defect otherwise.

// Small file helpers shared by the tool's commands: the whole file, and a
// replacement that readers never see half-written.
QString readWholeFile(const QString &path, QByteArray &content);
QString writeFileAtomically(const QString &path, const QByteArray &data);

// A new key pair: the secret key (PKCS#8 PEM, readable by its owner only) and
// minisign's two-line public key file. An existing secret key file is kept
// unless force is set. publicLine receives the line for IVRA_RELEASE_PUBLIC_KEYS.
QString writeKeyPair(const QString &secretKeyPath, const QString &publicKeyPath, bool force,
                     QString *publicLine = nullptr);
// "<path>.minisig" for data about to be written at path, with the default
// trusted comment (now, and path's file name). The signature is written first,
// so that the manifest, written last, never stands without it.
QString writeSignatureFor(const QString &path, const QByteArray &data, const ReleaseSecretKey &key);
// Re-signs every manifest below treeRoot/releases/manifests with a fresh
// timestamp, leaving the manifests as they are.
QString signReleaseTree(const QString &treeRoot, const ReleaseSecretKey &key,
                        QStringList *signedFiles = nullptr);
// Keys from a public key file or from the key line itself.
QList<ReleasePublicKey> readPublicKeys(const QString &fileOrText, QString *error);
// Every manifest of the tree has a signature that the launcher would accept
// with these keys.
QString checkTreeSignatures(const QString &treeRoot, const QList<ReleasePublicKey> &keys,
                            QStringList *report = nullptr);
