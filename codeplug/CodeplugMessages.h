#pragma once

#include <cstdint>

// The codeplug transfer's messages: command byte 3 and these sub-codes.
namespace cpmsg {

inline constexpr uint8_t kCommand = 3;
inline constexpr uint8_t kStartDownload = 0; // to radio
inline constexpr uint8_t kDataBlock = 2; // both ways, 128 bytes
inline constexpr uint8_t kChecksumReport = 3; // from radio, 2 bytes
inline constexpr uint8_t kEndOfTransfer = 4; // to radio
inline constexpr uint8_t kChecksumMatches = 5; // to radio
inline constexpr uint8_t kChecksumDiffers = 6; // to radio
inline constexpr uint8_t kStartUpload = 7; // to radio
inline constexpr uint8_t kNextBlock = 8; // both ways
inline constexpr uint8_t kPasswordRequired = 11; // from radio
inline constexpr uint8_t kPasswordAnswer = 12; // to radio, 4 bytes
inline constexpr uint8_t kAccessGranted = 13; // from radio
inline constexpr uint8_t kAccessGrantedAlt = 14; // from radio

} // namespace cpmsg
