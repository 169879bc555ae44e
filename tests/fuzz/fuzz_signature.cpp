// The signature and public-key parsers on arbitrary bytes: what they accept
// has the sizes the format fixes, a parsed key prints back to itself, and a
// signature made by nobody never verifies.
#include "fuzzsupport.h"
#include "release/signature.h"

namespace {
// A key whose secret nobody has: no input can carry a valid signature by it.
const QString kKey = QStringLiteral("RWRr4ljBa/xYUDc7wb55JpUSh55vl1AuIMSqoMAYCq2XGH6vu5McvdKn");
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);

    const ReleaseSignatureResult parsed = parseReleaseSignature(bytes);
    if (parsed.error.isEmpty()) {
        const ReleaseSignature &s = parsed.signature;
        FUZZ_ASSERT(s.algorithm.size() == 2 && s.keyId.size() == kKeyIdBytes);
        FUZZ_ASSERT(s.signature.size() == kEd25519SignatureBytes);
        FUZZ_ASSERT(s.globalSignature.size() == kEd25519SignatureBytes);
        FUZZ_ASSERT(!s.trustedComment.contains('\n'));
        // Whatever a trusted comment claims, the freshness rules neither
        // overflow nor accept a date more than a day ahead of the clock.
        const qint64 claimed =
            trustedCommentField(s.trustedComment, QStringLiteral("timestamp")).toLongLong();
        const qint64 now = 1800000000;
        const int maxAge = int(size % 4000);
        const SignatureFreshness fresh =
            checkSignatureFreshness(claimed, qint64(size) * 997, maxAge, now);
        FUZZ_ASSERT(!fresh.message.isEmpty() || claimed <= now + kSignatureClockSkewSecs);
        FUZZ_ASSERT(fresh.message.isEmpty() == fresh.detail.isEmpty());
    }
    const QList<ReleasePublicKey> keys = parseReleasePublicKeys(kKey);
    FUZZ_ASSERT(keys.size() == 1);
    const SignatureVerification verified =
        verifyReleaseSignature(QByteArrayLiteral("{}"), bytes, keys, QStringLiteral("a.json"));
    FUZZ_ASSERT(!verified.error.isEmpty());

    QString error;
    const QList<ReleasePublicKey> fuzzed = parseReleasePublicKeys(QString::fromUtf8(bytes), &error);
    FUZZ_ASSERT(fuzzed.isEmpty() || error.isEmpty());
    for (const ReleasePublicKey &key : fuzzed) {
        FUZZ_ASSERT(key.keyId.size() == kKeyIdBytes && key.key.size() == kEd25519PublicKeyBytes);
        const ReleasePublicKeyResult again = parseReleasePublicKey(publicKeyLine(key));
        FUZZ_ASSERT(again.error.isEmpty() && again.key.keyId == key.keyId &&
                    again.key.key == key.key);
    }
    return 0;
}
