#pragma once

#include <QString>

// Release service addresses and keys fixed when the launcher is built. They are defined
// only in the generated settings unit of each build.
namespace BuildSettings {
QString gatewayManifestUrl();
QString clientManifestUrl();
// The address a build falls back to when its Gateway setting is empty.
QString defaultGatewayManifestUrl();
// Release signing keys, minisign public-key lines separated by ";". Empty: the
// build fetches no signatures and behaves as an unsigned build.
QString releasePublicKeys();
// Signatures older than this many days are refused (freeze protection); 0 is off.
int releaseMaxAgeDays();
// The release channel this build follows: a signed build refuses manifests of another.
QString releaseChannel();
// The base URL the manifest URLs are under, and the base URLs of its mirrors
// (separated by ";", in the order they are tried): every request under the
// base URL may be served by one of them instead. No mirrors: only the base URL.
QString releaseBaseUrl();
QString releaseMirrors();
} // namespace BuildSettings
