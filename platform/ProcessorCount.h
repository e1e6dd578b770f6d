#pragma once

namespace platform {

// Number of processors online (at least 1).
int ProcessorCount();

// Makes ProcessorCount return `count` (tests); 0 restores the real count.
void SetProcessorCountForTesting(int count);

} // namespace platform
