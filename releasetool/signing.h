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

// Where scripts give the secret key's passphrase; without it the tool asks on
// the terminal.
inline constexpr char kPassphraseVariable[] = "IVRA_RELEASE_PASSPHRASE";

// A new key pair: the secret key (PKCS#8 PEM, readable by its owner only) and
// minisign's two-line public key file. An existing secret key file is kept
// unless force is set. When mayEncrypt is set, the key is encrypted with the
// passphrase from kPassphraseVariable or, failing that, one asked on the
// terminal; with neither it is written unencrypted (encrypted says which).
// publicLine receives the line for IVRA_RELEASE_PUBLIC_KEYS.
QString writeKeyPair(const QString &secretKeyPath, const QString &publicKeyPath, bool force,
                     bool mayEncrypt, QString *publicLine = nullptr, bool *encrypted = nullptr);
// The secret key of a file, asking for its passphrase the same way when it is encrypted.
ReleaseSecretKeyResult openSecretKey(const QString &path);
// "<path>.minisig" for data about to be written at path, with the default
// trusted comment (now, and path's file name). The signature is written first,
// so that the manifest, written last, never stands without it.
// Refused when the signature it replaces is dated later than now (a clock
// behind), unless allowEarlierSignatureTimes(true).
QString writeSignatureFor(const QString &path, const QByteArray &data, const ReleaseSecretKey &key);
void allowEarlierSignatureTimes(bool allowed);
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
