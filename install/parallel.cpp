#include "install/parallel.h"

#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

void forEachInParallel(qsizetype count, const std::function<void(qsizetype)> &work)
{
    // Nothing to do (an empty folder): qBound below needs count >= 1.
    if (count <= 0)
        return;
    std::atomic<qsizetype> next{0};
    auto worker = [&]() {
        for (qsizetype i = next++; i < count; i = next++)
            work(i);
    };
    const int threads = int(qBound(qsizetype(1), qsizetype(QThread::idealThreadCount()), count));
    std::vector<std::thread> others;
    for (int t = 1; t < threads; ++t)
        others.emplace_back(worker);
    worker();
    for (std::thread &other : others)
        other.join();
}
