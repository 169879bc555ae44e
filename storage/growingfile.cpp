#include "storage/growingfile.h"

#include <chrono>

void GrowingFile::grow(qint64 bytesOnDisk)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        available = bytesOnDisk;
    }
    changed.notify_all();
}

void GrowingFile::restart()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        available = 0;
        ++restarts;
    }
    changed.notify_all();
}

void GrowingFile::finish()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    changed.notify_all();
}

void GrowingFile::abandon()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        abandoned = true;
    }
    changed.notify_all();
}

int GrowingFile::generation() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return restarts;
}

GrowingFile::Wait GrowingFile::waitForEnd(const std::atomic<bool> *cancel)
{
    return waitFor(-1, -1, cancel);
}

GrowingFile::Wait GrowingFile::waitFor(qint64 end, int generation, const std::atomic<bool> *cancel)
{
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
        if (abandoned)
            return Wait::Abandoned;
        if (generation >= 0 && restarts != generation)
            return Wait::Restarted;
        if (finished)
            return Wait::Finished;
        if (end >= 0 && available >= end)
            return Wait::Ready;
        if (cancel && cancel->load())
            return Wait::Cancelled;
        // A cancel comes without a notification: look again now and then.
        changed.wait_for(lock, std::chrono::milliseconds(20));
    }
}
