#pragma once

// Deterministic synthetic firmware images of the shape of a shipped release,
// for the demo release, tests and benchmarks.

#include <cstdint>
#include <string>

namespace pack {

struct DemoImageShape {
    bool s3 = true; // S3 records (code) or S2 (loader)
    std::uint32_t firstAddress = 0;
    std::uint64_t dataBytes = 0; // even; all records 16 bytes but the last
    std::uint32_t seed = 1; // data pattern
};

// The S-record text (CR LF lines, ending with "S9030000FC").
std::string MakeDemoImage(const DemoImageShape& shape);

// The four images of the demo release:
//   application loader: S2 at 0x010100, 6136 bytes (last record 8)
//   application code:   S3 at 0xFE040100, 3953772 bytes (last record 12),
//                       which splits into Code_1 .. Code_12 of 1022976 bytes
//                       but the last (608596 bytes)
//   boot loader:        S2 at 0x010100, 4108 bytes (last record 12)
//   boot code:          S3 at 0xFE000100, 262136 bytes (last record 8)
DemoImageShape DemoAppLoaderShape();
DemoImageShape DemoAppCodeShape();
DemoImageShape DemoBootLoaderShape();
DemoImageShape DemoBootCodeShape();

// Writes app-loader.srec, app-code.srec, boot-loader.srec and boot-code.srec
// into `directory`. False with a reason on a write error.
bool WriteDemoImages(const std::string& directory, std::string* error);

} // namespace pack
