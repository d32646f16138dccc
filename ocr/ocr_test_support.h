// The picture the OCR tests read: words drawn on a <canvas> by Chromium, saved as its screenshot.
#pragma once

#include <spng.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ocr/ocr_worker.h"

namespace tessaron::ocr::testing {

inline Crop decodePng(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  spng_ctx* context = spng_ctx_new(0);
  spng_set_png_buffer(context, bytes.data(), bytes.size());
  spng_ihdr header{};
  std::size_t size = 0;
  Crop picture;
  if (spng_get_ihdr(context, &header) == 0 && spng_decoded_image_size(context, SPNG_FMT_RGBA8, &size) == 0) {
    picture = {static_cast<int>(header.width), static_cast<int>(header.height),
               std::vector<std::uint8_t>(size)};
    if (spng_decode_image(context, picture.rgba.data(), size, SPNG_FMT_RGBA8, 0) != 0) picture = {};
  }
  spng_ctx_free(context);
  return picture;
}

inline Crop canvasWords() {
  return decodePng(std::filesystem::path(TESSARON_OCR_TESTDATA) / "canvas-words.png");
}

}  // namespace tessaron::ocr::testing
