#include "platform/ProcessorCount.h"

#include <atomic>
#include <unistd.h>

namespace platform {

namespace {
std::atomic<int> g_TestCount { 0 };
}

int ProcessorCount()
{
    int forced = g_TestCount.load();
    if (forced > 0)
        return forced;
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

void SetProcessorCountForTesting(int count)
{
    g_TestCount.store(count > 0 ? count : 0);
}

} // namespace platform
