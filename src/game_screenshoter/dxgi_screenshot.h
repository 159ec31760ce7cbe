// One monitor's current image through DXGI desktop duplication.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/win32.h"

// The pixels of a whole output: `height` rows of `row_pitch` bytes (padding included), 4 bytes per pixel in the
// order B, G, R, A/X, neither rotated nor converted. Moving it hands the vector over without copying a byte.
struct DxgiCapture {
  std::vector<std::uint8_t> blob;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t row_pitch = 0;
  DXGI_MODE_ROTATION rotation = DXGI_MODE_ROTATION_UNSPECIFIED;  // as the output reports it
  RECT desktop_rect = {0, 0, 0, 0};                               // the output's place on the desktop
};

// The byte count of `height` rows of `row_pitch` bytes when it fits the record's signed 32-bit numbers; no value
// for an image of 2^31 bytes or more, which the record cannot describe.
std::optional<std::int32_t> CaptureBlobSize(UINT row_pitch, UINT height);

// Captures the output of the device's adapter that shows `monitor` (the first output for a null monitor). No
// value on failure, with one error line in the log, except when no output shows the monitor (no line then).
// Makes and releases its device and duplication on every call; waits up to about 3 s for a new frame.
std::optional<DxgiCapture> dxgiScreenshot(HMONITOR monitor);
