#include "net/filedigest.h"

#include <QByteArray>
#include <QFile>

#include <memory>
#include <openssl/evp.h>

QString fileSha256Hex(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("Unable to open '%1' for hashing: %2.")
                         .arg(path, file.errorString());
        return QString();
    }

    // libcrypto uses the CPU's SHA extensions, several times faster than QCryptographicHash here.
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        if (error)
            *error = QStringLiteral("Unable to read '%1' for hashing: %2.")
                         .arg(path, QStringLiteral("SHA-256 is unavailable"));
        return QString();
    }

    QByteArray chunk(kHashChunkBytes, Qt::Uninitialized);
    while (!file.atEnd()) {
        const qint64 read = file.read(chunk.data(), kHashChunkBytes);
        // A failed read must end the loop: atEnd() would never become true.
        if (read < 0) {
            if (error)
                *error = QStringLiteral("Unable to read '%1' for hashing: %2.")
                             .arg(path, file.errorString());
            return QString();
        }
        if (read == 0)
            break;
        EVP_DigestUpdate(context.get(), chunk.constData(), size_t(read));
    }

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_DigestFinal_ex(context.get(), digest, &digestLength);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(digest), int(digestLength)).toHex());
}
