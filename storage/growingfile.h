#pragma once

#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>

// A file that one thread writes while another reads it: the writer says how
// many bytes are on disk, the reader waits for the ones it needs. The reader
// never trusts the bytes for good until the file is finished, that is whole
// and checked; until then the writer may also cut it back to nothing.
class GrowingFile
{
public:
    enum class Wait {
        Ready,     // the bytes asked for are there
        Finished,  // whole and checked: everything there is, is there
        Abandoned, // it will never be finished
        Restarted, // cut back since the reader began: what it read is not this file
        Cancelled,
    };

    explicit GrowingFile(const QString &path) : filePath(path) {}

    // Writer: this many bytes from the start are on disk.
    void grow(qint64 bytesOnDisk);
    // Writer: the file was cut back to zero bytes.
    void restart();
    // Whoever checked it: the file is whole (it may have been renamed since).
    void finish();
    void abandon();

    // Reader: the path it opens, and the generation it reads (see restart).
    QString path() const { return filePath; }
    int generation() const;
    // Waits until end bytes are there or the file ends one way or another.
    // cancel is looked at every few milliseconds.
    Wait waitFor(qint64 end, int generation, const std::atomic<bool> *cancel);
    // Waits until the file is finished or abandoned.
    Wait waitForEnd(const std::atomic<bool> *cancel);

private:
    const QString filePath;
    mutable std::mutex mutex;
    std::condition_variable changed;
    qint64 available = 0;
    int restarts = 0;
    bool finished = false;
    bool abandoned = false;
};
