// Release versions: parsing never fails silently, and an accepted version
// prints back to itself and orders consistently.
#include "fuzzsupport.h"
#include "release/version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(fuzzBytes(data, size));
    const ReleaseVersion version = parseReleaseVersion(text);
    if (!isValid(version)) {
        FUZZ_ASSERT(version.major == 0 && version.minor == 0 && version.patch == 0);
        return 0;
    }
    FUZZ_ASSERT(version.major >= 0 && version.minor >= 0 && version.patch >= 0);
    const ReleaseVersion again = parseReleaseVersion(
        QStringLiteral("%1.%2.%3").arg(version.major).arg(version.minor).arg(version.patch));
    FUZZ_ASSERT(isValid(again) && compareReleaseVersions(version, again) == 0);
    const ReleaseVersion reference = parseReleaseVersion(QStringLiteral("1.2.3"));
    FUZZ_ASSERT(compareReleaseVersions(version, reference) ==
                -compareReleaseVersions(reference, version));
    return 0;
}
