#pragma once

#include "releasetool/publishing.h"

// The demo product's client release as the tests publish it: the launch file
// bin/client, minimum 1.0.0, zstd at a fast level. Header only, for the
// tests that link the release tool.
inline ClientPublication demoClientPublication(const QString &tree, const QString &baseUrl,
                                               const QString &version, const QString &sourceFolder)
{
    ClientPublication p;
    p.treeRoot = tree;
    p.baseUrl = baseUrl;
    p.product = QStringLiteral("ivra-demo");
    p.channel = QStringLiteral("stable");
    p.version = version;
    p.minimumVersion = QStringLiteral("1.0.0");
    p.exePath = QStringLiteral("bin/client");
    p.sourceFolder = sourceFolder;
    p.zstdLevel = 3;
    return p;
}
