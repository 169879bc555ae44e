#include "ui/statustext.h"

namespace {
constexpr QChar kZeroWidthSpace(0x200B);
// Runs up to this long fit the status line; longer ones get break opportunities.
constexpr int kLongestUnbrokenRun = 24;
} // namespace

QString breakableText(const QString &text)
{
    QString shown;
    shown.reserve(text.size() * 2);
    int runStart = 0;
    auto flushRun = [&](int end) {
        const QStringView run = QStringView(text).mid(runStart, end - runStart);
        if (run.size() <= kLongestUnbrokenRun) {
            shown += run;
            return;
        }
        for (qsizetype i = 0; i < run.size(); ++i) {
            shown += run.at(i);
            // Never between the halves of a surrogate pair.
            if (i + 1 < run.size() && !run.at(i).isHighSurrogate())
                shown += kZeroWidthSpace;
        }
    };
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isSpace()) {
            flushRun(i);
            shown += text.at(i);
            runStart = i + 1;
        }
    }
    flushRun(int(text.size()));
    return shown;
}

QString readableText(const QString &shown)
{
    return QString(shown).remove(kZeroWidthSpace);
}
