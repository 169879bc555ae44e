#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A scratch folder that lives as long as the fuzzing process.
inline const QString &scratchRoot()
{
    static QTemporaryDir dir;
    if (!dir.isValid())
        std::abort();
    static const QString path = QDir(dir.path()).canonicalPath();
    return path;
}

inline QByteArray fuzzBytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// A broken invariant is a finding: report it and stop, so libFuzzer keeps the input.
#define FUZZ_ASSERT(condition)                                                                     \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__,           \
                         __LINE__);                                                                \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
