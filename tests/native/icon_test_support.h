// Shared by the icon reader tests: the built fixtures and the pixels the generator says each entry holds.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include "windows_test_support.h"
#else
#include "platform/linux/shell/icon_source.h"
#endif

namespace quorvel::icon_test {

using platform::icons::IconImage;

inline std::string Fixture(const std::string& name) {
  std::string path = std::string(QUORVEL_ICON_FIXTURES) + "/" + name;
#ifdef _WIN32
  std::replace(path.begin(), path.end(), '/', '\\');  // the shell parses backslashes only
#endif
  return path;
}

inline std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// `<ico>.<entry>.argb`: width, height, then the pixels, all little-endian 32-bit.
inline IconImage Expected(const std::string& ico, int entry) {
  std::vector<std::uint8_t> raw = ReadAll(Fixture(ico + "." + std::to_string(entry) + ".argb"));
  IconImage image;
  if (raw.size() < 8) return image;
  std::memcpy(&image.width, raw.data(), 4);
  std::memcpy(&image.height, raw.data() + 4, 4);
  image.pixels.resize((raw.size() - 8) / 4);
  std::memcpy(image.pixels.data(), raw.data() + 8, image.pixels.size() * 4);
  return image;
}

// Pixel-exact; reports the first differing pixel rather than thousands of lines.
inline ::testing::AssertionResult SameImage(const IconImage& actual, const IconImage& expected) {
  if (expected.pixels.empty()) return ::testing::AssertionFailure() << "no expected pixels";
  if (actual.width != expected.width || actual.height != expected.height) {
    return ::testing::AssertionFailure() << "size " << actual.width << "x" << actual.height << ", expected "
                                         << expected.width << "x" << expected.height;
  }
  if (actual.pixels.size() != expected.pixels.size()) return ::testing::AssertionFailure() << "pixel count";
  for (std::size_t i = 0; i < actual.pixels.size(); ++i) {
    if (actual.pixels[i] != expected.pixels[i]) {
      char text[64];
      std::snprintf(text, sizeof text, "is %08X, expected %08X", actual.pixels[i], expected.pixels[i]);
      return ::testing::AssertionFailure() << "pixel (" << i % actual.width << ", " << i / actual.width << ") "
                                           << text;
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace quorvel::icon_test

#ifndef _WIN32  // Debian's Python and Pillow: Linux only
namespace quorvel::icon_test {

// A PNG decoded by Pillow under Debian's own python3 in a child process: a decoder that is not ours.
inline IconImage DecodeWithPillow(const std::string& path) {
  const std::string command =
      "/usr/bin/python3 -c 'import sys; from PIL import Image; im = Image.open(sys.argv[1]).convert(\"RGBA\"); "
      "sys.stdout.write(\"%d %d\\n\" % im.size); sys.stdout.flush(); sys.stdout.buffer.write(im.tobytes())' '" +
      path + "'";
  IconImage image;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return image;
  unsigned w = 0, h = 0;
  if (std::fscanf(pipe, "%u %u", &w, &h) == 2 && std::fgetc(pipe) == '\n') {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(w) * h * 4);
    if (std::fread(rgba.data(), 1, rgba.size(), pipe) == rgba.size()) {
      image.width = w;
      image.height = h;
      for (std::size_t i = 0; i < rgba.size(); i += 4) {
        image.pixels.push_back((std::uint32_t{rgba[i + 3]} << 24) | (std::uint32_t{rgba[i]} << 16) |
                               (std::uint32_t{rgba[i + 1]} << 8) | rgba[i + 2]);
      }
    }
  }
  ::pclose(pipe);
  return image;
}

}  // namespace quorvel::icon_test
#endif
