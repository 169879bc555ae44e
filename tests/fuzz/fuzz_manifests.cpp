// Both release manifest parsers on the same bytes: a result is either valid
// with no message, or carries a message.
#include "fuzzsupport.h"
#include "release/clientrelease.h"
#include "release/gatewayrelease.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = fuzzBytes(data, size);
    const GatewayReleaseResult gateway = parseGatewayRelease(body);
    FUZZ_ASSERT(isValid(gateway) == gateway.error.isEmpty());
    const ClientReleaseResult client = parseClientRelease(body);
    FUZZ_ASSERT(isValid(client) == client.error.isEmpty());
    if (isValid(client))
        FUZZ_ASSERT(client.release.artifactSizeBytes >= 0);
    // A rollout that was read has a share in force from 0 to 100 % at any time.
    for (const ReleaseRollout &rollout : {gateway.release.rollout, client.release.rollout}) {
        for (const QDateTime &when : {QDateTime(), QDateTime::fromSecsSinceEpoch(0, Qt::UTC),
                                      QDateTime::fromSecsSinceEpoch(4102444800, Qt::UTC)}) {
            const int share = rolloutShareAt(rollout, when);
            FUZZ_ASSERT(share >= 0 && share <= kFullShare);
        }
    }
    return 0;
}
