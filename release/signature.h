#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Detached release signatures in minisign's format: a release engineer signs
// the manifests off the host, the launcher carries the public keys, so the
// host can serve bytes but cannot choose what runs.

inline constexpr int kKeyIdBytes = 8;
inline constexpr int kEd25519PublicKeyBytes = 32;
inline constexpr int kEd25519SeedBytes = 32;
inline constexpr int kEd25519SignatureBytes = 64;
// Timestamps are whole seconds that a JSON number (the state file) keeps exactly.
inline constexpr qint64 kMaxSignatureTimestamp = (qint64(1) << 53) - 1;
// A signature may be dated at most this far after the local clock.
inline constexpr qint64 kSignatureClockSkewSecs = 86400;

struct ReleasePublicKey
{
    QByteArray keyId; // 8 bytes, as in the key and in every signature it made
    QByteArray key;   // raw Ed25519 public key, 32 bytes
};

struct ReleasePublicKeyResult
{
    ReleasePublicKey key;
    QString error;
};

// One key in minisign's public-key text form: the base64 line alone, or the
// whole two-line file (its untrusted comment is ignored).
ReleasePublicKeyResult parseReleasePublicKey(const QString &text);
// Keys separated by ";" (blank pieces are skipped); the first bad one is the error.
QList<ReleasePublicKey> parseReleasePublicKeys(const QString &text, QString *error = nullptr);
// The base64 line of a key, as IVRA_RELEASE_PUBLIC_KEYS takes it.
QString publicKeyLine(const ReleasePublicKey &key);
// The two-line public key file that minisign reads with -p.
QString publicKeyFileText(const ReleasePublicKey &key);
// A key id as minisign prints it: 16 upper-case hex digits, last byte first.
QString keyIdText(const QByteArray &keyId);

struct ReleaseSignature
{
    QByteArray algorithm; // "ED" (over the BLAKE2b-512 digest) or "Ed" (over the bytes)
    QByteArray keyId;
    QByteArray signature;
    QByteArray trustedComment; // the text after "trusted comment: "
    QByteArray globalSignature;
};

struct ReleaseSignatureResult
{
    ReleaseSignature signature;
    QString error;
};

// The four-line ".minisig" form; the error names the first defect.
ReleaseSignatureResult parseReleaseSignature(const QByteArray &file);

// The value of one tab-separated "name:value" field of a trusted comment, and
// whether it is there at all.
QString trustedCommentField(const QByteArray &comment, const QString &name,
                            bool *present = nullptr);

struct SignatureVerification
{
    qint64 timestamp = 0; // the trusted comment's "timestamp:", once everything held
    QByteArray keyId;     // the key that made it
    QString error;        // which check failed, for the log; empty when the signature holds
};

// Checks, in order, stopping at the first failure: the form, the algorithm,
// the key id against the keys, the signature over data, the global signature,
// the "timestamp:" and "file:" fields, and "file:" against fileName.
SignatureVerification verifyReleaseSignature(const QByteArray &data,
                                             const QByteArray &signatureFile,
                                             const QList<ReleasePublicKey> &keys,
                                             const QString &fileName);

struct SignatureFreshness
{
    QString message; // the window's message; empty when the timestamp is accepted
    QString detail;  // the same for the log, with the numbers
};

// In this order: dated more than a day after now (a signing machine's wrong
// clock, or a replay meant to freeze launchers); rollback: older than the
// newest timestamp already accepted for that file (0: none yet); freeze: with
// maxAgeDays above 0, more than that many days before now.
SignatureFreshness checkSignatureFreshness(qint64 timestamp, qint64 accepted, int maxAgeDays,
                                           qint64 nowSecs);

// The file name a manifest's signature must name: the last segment of its URL path.
QString signedFileNameForUrl(const QString &url);

// --- Signing, for the release tool and the tests ---

struct ReleaseSecretKey
{
    QByteArray seed; // raw Ed25519 private key, 32 bytes
    ReleasePublicKey publicKey;
};

struct ReleaseSecretKeyResult
{
    ReleaseSecretKey key;
    QString error;
};

ReleaseSecretKeyResult generateReleaseSecretKey();
// A secret key from its PKCS#8 PEM text (what `openssl genpkey -algorithm
// ed25519` and `ivra-release keygen` write), opened with the passphrase when
// it is encrypted. The key id is derived from the public key, so the file
// needs nothing beside the key itself.
ReleaseSecretKeyResult parseReleaseSecretKey(const QByteArray &pem,
                                             const QByteArray &passphrase = QByteArray());
ReleaseSecretKeyResult readReleaseSecretKey(const QString &path,
                                            const QByteArray &passphrase = QByteArray());
bool isEncryptedSecretKey(const QByteArray &pem);
// The key as PKCS#8 PEM; encrypted with the passphrase (scrypt, AES-256) when one is given.
QByteArray secretKeyPem(const ReleaseSecretKey &key, const QByteArray &passphrase = QByteArray());
// minisign's default trusted comment for a prehashed signature made now.
QByteArray defaultTrustedComment(const QString &fileName, qint64 timestampSecs);
// A complete ".minisig" file: prehashed ("ED") over data, with the given trusted comment.
QByteArray signReleaseData(const QByteArray &data, const ReleaseSecretKey &key,
                           const QByteArray &trustedComment, QString *error = nullptr);
