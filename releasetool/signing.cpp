#include "releasetool/signing.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace {
QString manifestsFolder(const QString &treeRoot)
{
    return QDir(treeRoot).absoluteFilePath(QStringLiteral("releases/manifests"));
}

QStringList manifestNames(const QString &treeRoot)
{
    return QDir(manifestsFolder(treeRoot))
        .entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
}

bool onTerminal()
{
    return isatty(0) != 0;
}

// Asked on the terminal (OpenSSL reads it from the terminal itself, unechoed).
QString askPassphrase(const QString &prompt, bool confirm, QByteArray &passphrase)
{
    char buffer[1024];
    const int read = EVP_read_pw_string_min(buffer, 1, int(sizeof buffer) - 1,
                                            prompt.toLocal8Bit().constData(), confirm ? 1 : 0);
    if (read == 0)
        passphrase = QByteArray(buffer);
    OPENSSL_cleanse(buffer, sizeof buffer);
    if (read != 0)
        return confirm ? QStringLiteral("No passphrase was set: none was typed, or the two "
                                        "entries differ.")
                       : QStringLiteral("No passphrase was typed.");
    return QString();
}

// The passphrase for a new key: from the environment, else asked when a
// terminal is attached; neither is refused (--no-passphrase says so).
QString newKeyPassphrase(QByteArray &passphrase)
{
    if (qEnvironmentVariableIsSet(kPassphraseVariable)) {
        passphrase = qgetenv(kPassphraseVariable);
        if (passphrase.isEmpty())
            return QStringLiteral("%1 is empty (--no-passphrase leaves the key unencrypted).")
                .arg(QLatin1String(kPassphraseVariable));
        return QString();
    }
    if (!onTerminal())
        return QStringLiteral("No passphrase for the new secret key: without a terminal none can "
                              "be asked. Set %1, or give --no-passphrase for an unencrypted key.")
            .arg(QLatin1String(kPassphraseVariable));
    return askPassphrase(QStringLiteral("Passphrase for the new secret key: "), true, passphrase);
}
} // namespace

QString readWholeFile(const QString &path, QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("Unable to read '%1': %2.").arg(path, file.errorString());
    content = file.readAll();
    return QString();
}

QString writeFileAtomically(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("Unable to write '%1': %2.").arg(path, file.errorString());
    file.write(data);
    if (!file.commit())
        return QStringLiteral("Unable to write '%1': %2.").arg(path, file.errorString());
    return QString();
}

QString writeKeyPair(const QString &secretKeyPath, const QString &publicKeyPath, bool force,
                     bool mayEncrypt, QString *publicLine, bool *encrypted)
{
    // One file for both keys would leave only the public one: the secret key lost.
    if (QFileInfo(secretKeyPath).absoluteFilePath() == QFileInfo(publicKeyPath).absoluteFilePath())
        return QStringLiteral("The secret and the public key need two files; both name '%1'.")
            .arg(secretKeyPath);
    if (QFileInfo::exists(secretKeyPath) && !force)
        return QStringLiteral("Secret key '%1' exists; it is kept (--force replaces it).")
            .arg(secretKeyPath);
    if (QFileInfo::exists(publicKeyPath) && !force)
        return QStringLiteral("'%1' exists; it is kept (--force replaces it). A secret key there "
                              "would be lost.")
            .arg(publicKeyPath);
    QByteArray passphrase;
    if (mayEncrypt) {
        const QString error = newKeyPassphrase(passphrase);
        if (!error.isEmpty())
            return error;
    }
    const ReleaseSecretKeyResult generated = generateReleaseSecretKey();
    if (!generated.error.isEmpty())
        return generated.error;
    const QByteArray pem = secretKeyPem(generated.key, passphrase);
    OPENSSL_cleanse(passphrase.data(), size_t(passphrase.size()));
    if (pem.isEmpty())
        return QStringLiteral("Unable to encode the secret key.");
    if (encrypted)
        *encrypted = !passphrase.isEmpty();

    QDir().mkpath(QFileInfo(secretKeyPath).absolutePath());
    QFile::remove(secretKeyPath);
    // Created with owner-only permissions, so the key is never readable by others, not even
    // briefly.
    QFile secret(secretKeyPath);
    if (!secret.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        secret.write(pem) != pem.size() || !secret.flush()) {
        const QString error = QStringLiteral("Unable to write secret key '%1': %2.")
                                  .arg(secretKeyPath, secret.errorString());
        secret.remove();
        return error;
    }
    secret.close();
    const QString error =
        writeFileAtomically(publicKeyPath, publicKeyFileText(generated.key.publicKey).toUtf8());
    if (!error.isEmpty())
        return error;
    if (publicLine)
        *publicLine = publicKeyLine(generated.key.publicKey);
    return QString();
}

ReleaseSecretKeyResult openSecretKey(const QString &path)
{
    ReleaseSecretKeyResult result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error =
            QStringLiteral("Unable to read secret key '%1': %2.").arg(path, file.errorString());
        return result;
    }
    const QByteArray pem = file.readAll();
    QByteArray passphrase;
    if (isEncryptedSecretKey(pem)) {
        if (qEnvironmentVariableIsSet(kPassphraseVariable)) {
            passphrase = qgetenv(kPassphraseVariable);
        } else if (onTerminal()) {
            result.error = askPassphrase(QStringLiteral("Passphrase for secret key %1: ").arg(path),
                                         false, passphrase);
        } else {
            result.error = QStringLiteral("Secret key '%1' is encrypted: set %2 or run the tool "
                                          "on a terminal.")
                               .arg(path, QLatin1String(kPassphraseVariable));
        }
        if (!result.error.isEmpty())
            return result;
    }
    result = parseReleaseSecretKey(pem, passphrase);
    OPENSSL_cleanse(passphrase.data(), size_t(passphrase.size()));
    if (!result.error.isEmpty())
        result.error = QStringLiteral("%1 (%2)").arg(result.error, path);
    return result;
}

namespace {
bool earlierTimesAllowed = false;

// The time of the signature a file has now, 0 when it has none that reads.
qint64 signatureTimeOf(const QString &signaturePath)
{
    QByteArray text;
    if (!readWholeFile(signaturePath, text).isEmpty())
        return 0;
    const ReleaseSignatureResult parsed = parseReleaseSignature(text);
    if (!parsed.error.isEmpty())
        return 0;
    return trustedCommentField(parsed.signature.trustedComment, QStringLiteral("timestamp"))
        .toLongLong();
}

QString utcText(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC).toString(Qt::ISODate);
}
} // namespace

void allowEarlierSignatureTimes(bool allowed)
{
    earlierTimesAllowed = allowed;
}

QString writeSignatureFor(const QString &path, const QByteArray &data, const ReleaseSecretKey &key)
{
    // Launchers refuse a signature older than one they accepted: one made on
    // a machine whose clock is behind would lock every launcher out.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 replaced = signatureTimeOf(path + QStringLiteral(".minisig"));
    if (now < replaced && !earlierTimesAllowed)
        return QStringLiteral("The new signature of %1 would be dated %2, before the one it "
                              "replaces (%3): launchers that have that one would refuse it. "
                              "Check this machine's clock (or the one that signed before); "
                              "--force-timestamp signs anyway.")
            .arg(QFileInfo(path).fileName(), utcText(now), utcText(replaced));
    QString error;
    const QByteArray signature =
        signReleaseData(data, key, defaultTrustedComment(QFileInfo(path).fileName(), now), &error);
    if (signature.isEmpty())
        return error;
    return writeFileAtomically(path + QStringLiteral(".minisig"), signature);
}

QString signReleaseTree(const QString &treeRoot, const ReleaseSecretKey &key,
                        QStringList *signedFiles)
{
    const QStringList names = manifestNames(treeRoot);
    if (names.isEmpty())
        return QStringLiteral("No manifests in %1.").arg(manifestsFolder(treeRoot));
    for (const QString &name : names) {
        const QString path = QDir(manifestsFolder(treeRoot)).absoluteFilePath(name);
        QByteArray content;
        QString error = readWholeFile(path, content);
        if (error.isEmpty())
            error = writeSignatureFor(path, content, key);
        if (!error.isEmpty())
            return error;
        if (signedFiles)
            signedFiles->append(path + QStringLiteral(".minisig"));
    }
    return QString();
}

QList<ReleasePublicKey> readPublicKeys(const QString &fileOrText, QString *error)
{
    QString text = fileOrText;
    if (QFileInfo(fileOrText).isFile()) {
        QByteArray content;
        const QString readError = readWholeFile(fileOrText, content);
        if (!readError.isEmpty()) {
            if (error)
                *error = readError;
            return {};
        }
        text = QString::fromUtf8(content);
    }
    return parseReleasePublicKeys(text, error);
}

QString checkTreeSignatures(const QString &treeRoot, const QList<ReleasePublicKey> &keys,
                            QStringList *report)
{
    const QStringList names = manifestNames(treeRoot);
    if (names.isEmpty())
        return QStringLiteral("No manifests in %1.").arg(manifestsFolder(treeRoot));
    for (const QString &name : names) {
        const QString path = QDir(manifestsFolder(treeRoot)).absoluteFilePath(name);
        const QString signaturePath = path + QStringLiteral(".minisig");
        if (!QFileInfo(signaturePath).isFile())
            return QStringLiteral("Manifest %1 is not signed: %2 is missing.")
                .arg(name, signaturePath);
        QByteArray manifest;
        QByteArray signature;
        QString error = readWholeFile(path, manifest);
        if (error.isEmpty())
            error = readWholeFile(signaturePath, signature);
        if (!error.isEmpty())
            return error;
        const SignatureVerification verified =
            verifyReleaseSignature(manifest, signature, keys, name);
        if (!verified.error.isEmpty())
            return QStringLiteral("Release data signature is not valid: %1: %2.")
                .arg(name, verified.error);
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        if (report && verified.timestamp > now + 60)
            report->append(QStringLiteral("warning: %1.minisig is dated %2, ahead of this "
                                          "machine's clock (%3): a signature made later with a "
                                          "right clock would be refused by launchers as older")
                               .arg(name, utcText(verified.timestamp), utcText(now)));
        if (report)
            report->append(QStringLiteral("signature %1.minisig: key %2, signed %3")
                               .arg(name, keyIdText(verified.keyId),
                                    QDateTime::fromSecsSinceEpoch(verified.timestamp, Qt::UTC)
                                        .toString(Qt::ISODate)));
    }
    return QString();
}
