#include "imagehash/test_images.h"

#include <png.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

namespace testimages {

OSImage make(std::uint32_t width, std::uint32_t height,
             const std::function<Rgba(std::uint32_t, std::uint32_t)>& pixel) {
  std::vector<std::uint8_t> bytes(std::size_t{width} * height * 4);
  for (std::uint32_t y = 0; y < height; ++y)
    for (std::uint32_t x = 0; x < width; ++x) {
      Rgba p = pixel(x, y);
      std::uint8_t* out = &bytes[(std::size_t{y} * width + x) * 4];
      out[0] = p.r, out[1] = p.g, out[2] = p.b, out[3] = p.a;
    }
  return OSImage(width, height, std::size_t{width} * 4, std::move(bytes));
}

OSImage solid(std::uint32_t width, std::uint32_t height, Rgba colour) {
  return make(width, height, [&](std::uint32_t, std::uint32_t) { return colour; });
}

OSImage scene(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  const double fx = 1.0 + seed % 5, fy = 1.0 + (seed / 5) % 4, phase = seed * 0.7;
  return make(width, height, [&](std::uint32_t x, std::uint32_t y) {
    double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
    double s = std::sin(6.28318 * (fx * u + phase)) * std::cos(6.28318 * (fy * v - phase));
    auto channel = [](double t) {
      return static_cast<std::uint8_t>(std::clamp(127.5 + 127.5 * t, 0.0, 255.0));
    };
    bool block = ((x * 7 / width) + (y * 5 / height) + seed) % 3 == 0;
    return Rgba{channel(s), channel(block ? -s : s * 0.5), channel(u - v), 255};
  });
}

OSImage touched(const OSImage& image, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes = image.pixels();
  const std::uint32_t w = image.width(), h = image.height();
  const std::uint32_t x0 = (seed * 37) % std::max(1U, w - w / 20),
                      y0 = (seed * 53) % std::max(1U, h - h / 20);
  for (std::uint32_t y = y0; y < std::min(h, y0 + h / 20); ++y)
    for (std::uint32_t x = x0; x < std::min(w, x0 + w / 20); ++x)
      bytes[(std::size_t{y} * w + x) * 4] ^= 0x40;
  return OSImage(w, h, image.stride(), std::move(bytes));
}

namespace {
void writeToVector(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<OSData*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}
}  // namespace

OSData png(const OSImage& image, PngOptions options) {
  OSData out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("libpng could not write the test image");
  }
  png_set_write_fn(png, &out, writeToVector, nullptr);
  const std::uint32_t w = image.width(), h = image.height();
  png_set_IHDR(png, info, w, h, options.bitDepth, options.colourType,
               options.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, options.filters);
  png_set_compression_level(png, options.level);
  auto at = [&](std::uint32_t x, std::uint32_t y) { return &image.pixels()[y * image.stride() + 4 * x]; };
  std::map<std::uint32_t, int> paletteIndex;
  if (options.colourType == PNG_COLOR_TYPE_PALETTE) {
    std::vector<png_color> palette;
    std::vector<png_byte> alpha;
    for (std::uint32_t y = 0; y < h; ++y)
      for (std::uint32_t x = 0; x < w; ++x) {
        const std::uint8_t* p = at(x, y);
        std::uint32_t key = p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
        if (paletteIndex.emplace(key, static_cast<int>(palette.size())).second) {
          palette.push_back({p[0], p[1], p[2]});
          alpha.push_back(p[3]);
        }
      }
    if (palette.size() > (1U << options.bitDepth))
      throw std::runtime_error("too many colours for the palette");
    png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    if (std::any_of(alpha.begin(), alpha.end(), [](png_byte a) { return a != 255; }))
      png_set_tRNS(png, info, alpha.data(), static_cast<int>(alpha.size()), nullptr);
  }
  png_write_info(png, info);
  if (options.bitDepth < 8) png_set_packing(png);
  if (options.bitDepth == 16) png_set_swap(png);  // rows below are little-endian 16-bit
  const int channels = options.colourType == 0 || options.colourType == 3 ? 1
                       : options.colourType == 4                          ? 2
                       : options.colourType == 2                          ? 3
                                                                          : 4;
  const int bytesPerSample = options.bitDepth == 16 ? 2 : 1;
  std::vector<std::vector<png_byte>> rows(h,
                                          std::vector<png_byte>(std::size_t{w} * channels * bytesPerSample));
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint8_t* p = at(x, y);
      std::uint16_t samples[4];
      int n = 0;
      auto wide = [&](std::uint8_t v) {
        return options.bitDepth == 16 ? std::uint16_t(v * 257)
                                      : std::uint16_t(v >> (8 - std::min(8, options.bitDepth)));
      };
      switch (options.colourType) {
        case 0:
          samples[n++] = wide(p[0]);
          break;
        case 3:
          samples[n++] = static_cast<std::uint16_t>(
              paletteIndex[p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24)]);
          break;
        case 4:
          samples[n++] = wide(p[0]);
          samples[n++] = wide(p[3]);
          break;
        case 2:
          for (int c = 0; c < 3; ++c)
            samples[n++] = wide(p[c]);
          break;
        default:
          for (int c = 0; c < 4; ++c)
            samples[n++] = wide(p[c]);
          break;
      }
      for (int c = 0; c < n; ++c) {
        png_byte* sample = &rows[y][(std::size_t{x} * channels + c) * bytesPerSample];
        sample[0] = static_cast<png_byte>(samples[c]);
        if (bytesPerSample == 2) sample[1] = static_cast<png_byte>(samples[c] >> 8);
      }
    }
  std::vector<png_bytep> pointers;
  for (auto& row : rows)
    pointers.push_back(row.data());
  png_write_image(png, pointers.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

std::string describe(const PngOptions& o) {
  return "type " + std::to_string(o.colourType) + ", depth " + std::to_string(o.bitDepth) +
         (o.interlaced ? ", interlaced" : "") + ", filters " + std::to_string(o.filters);
}

OSData readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return OSData((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace testimages
