#include "net/filedigest.h"

#include <QByteArray>
#include <QFile>

#include <openssl/evp.h>

namespace {
EVP_MD_CTX *contextOf(Sha256Stream &stream)
{
    return static_cast<EVP_MD_CTX *>(stream.context.get());
}
} // namespace

Sha256Stream sha256Begin()
{
    // libcrypto uses the CPU's SHA extensions, several times faster than QCryptographicHash here.
    Sha256Stream stream;
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    if (context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1)
        stream.context.reset(context,
                             [](void *p) { EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(p)); });
    else
        EVP_MD_CTX_free(context);
    return stream;
}

void sha256Add(Sha256Stream &stream, const char *data, qint64 size)
{
    if (stream.context && size > 0)
        EVP_DigestUpdate(contextOf(stream), data, size_t(size));
}

bool sha256AddFile(Sha256Stream &stream, const QString &path, qint64 bytes, QString *error,
                   const std::atomic<bool> *cancel)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("Unable to open '%1' for hashing: %2.")
                         .arg(path, file.errorString());
        return false;
    }
    if (!stream.context) {
        if (error)
            *error = QStringLiteral("Unable to read '%1' for hashing: %2.")
                         .arg(path, QStringLiteral("SHA-256 is unavailable"));
        return false;
    }
    QByteArray chunk(kHashChunkBytes, Qt::Uninitialized);
    qint64 left = bytes;
    while (left != 0) {
        if (cancel && cancel->load()) {
            if (error)
                *error = QStringLiteral("Hashing of '%1' was cancelled.").arg(path);
            return false;
        }
        const qint64 want = left < 0 ? kHashChunkBytes : qMin(left, kHashChunkBytes);
        const qint64 read = file.read(chunk.data(), want);
        // A failed read must end the loop: the end would never come.
        if (read < 0) {
            if (error)
                *error = QStringLiteral("Unable to read '%1' for hashing: %2.")
                             .arg(path, file.errorString());
            return false;
        }
        if (read == 0) {
            if (left < 0)
                break;
            if (error)
                *error = QStringLiteral("Unable to read '%1' for hashing: %2.")
                             .arg(path, QStringLiteral("the file is shorter than expected"));
            return false;
        }
        sha256Add(stream, chunk.constData(), read);
        if (left > 0)
            left -= read;
    }
    return true;
}

QString sha256Finish(Sha256Stream &stream)
{
    if (!stream.context)
        return QString();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_DigestFinal_ex(contextOf(stream), digest, &digestLength);
    stream.context.reset();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(digest), int(digestLength)).toHex());
}

QString fileSha256Hex(const QString &path, QString *error)
{
    Sha256Stream stream = sha256Begin();
    if (!sha256AddFile(stream, path, -1, error))
        return QString();
    return sha256Finish(stream);
}
