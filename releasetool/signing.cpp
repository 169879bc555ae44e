#include "releasetool/signing.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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
                     QString *publicLine)
{
    if (QFileInfo::exists(secretKeyPath) && !force)
        return QStringLiteral("Secret key '%1' exists; it is kept (--force replaces it).")
            .arg(secretKeyPath);
    const ReleaseSecretKeyResult generated = generateReleaseSecretKey();
    if (!generated.error.isEmpty())
        return generated.error;
    const QByteArray pem = secretKeyPem(generated.key);
    if (pem.isEmpty())
        return QStringLiteral("Unable to encode the secret key.");

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

QString writeSignatureFor(const QString &path, const QByteArray &data, const ReleaseSecretKey &key)
{
    QString error;
    const QByteArray signature = signReleaseData(
        data, key,
        defaultTrustedComment(QFileInfo(path).fileName(), QDateTime::currentSecsSinceEpoch()),
        &error);
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
        if (report)
            report->append(QStringLiteral("signature %1.minisig: key %2, signed %3")
                               .arg(name, keyIdText(verified.keyId),
                                    QDateTime::fromSecsSinceEpoch(verified.timestamp, Qt::UTC)
                                        .toString(Qt::ISODate)));
    }
    return QString();
}
