// TIFF: decoding through libtiff's RGBA interface (every photometric and layout libtiff knows), and encoding
// in-memory images as uncompressed RGBA with associated alpha, the representation an in-memory image gives.
#include <tiffio.h>

#include <cstring>
#include <memory>

#include "imagehash/image_internal.h"

namespace osimagehashing {

namespace {

// A byte buffer that libtiff reads from or writes to.
struct MemoryFile {
  std::span<const std::uint8_t> input;
  std::vector<std::uint8_t>* output = nullptr;
  toff_t position = 0;
};

tmsize_t readProc(thandle_t handle, void* buffer, tmsize_t size) {
  auto* file = static_cast<MemoryFile*>(handle);
  if (size < 0 || file->position >= file->input.size()) return 0;
  auto count = std::min<toff_t>(static_cast<toff_t>(size), file->input.size() - file->position);
  std::memcpy(buffer, file->input.data() + file->position, count);
  file->position += count;
  return static_cast<tmsize_t>(count);
}

tmsize_t writeProc(thandle_t handle, void* buffer, tmsize_t size) {
  auto* file = static_cast<MemoryFile*>(handle);
  if (!file->output || size < 0) return 0;
  auto end = file->position + static_cast<toff_t>(size);
  if (end > file->output->size()) file->output->resize(end);
  std::memcpy(file->output->data() + file->position, buffer, static_cast<std::size_t>(size));
  file->position = end;
  return size;
}

toff_t seekProc(thandle_t handle, toff_t offset, int whence) {
  auto* file = static_cast<MemoryFile*>(handle);
  toff_t size = file->output ? file->output->size() : file->input.size();
  toff_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file->position : size;
  file->position = base + offset;
  return file->position;
}

int closeProc(thandle_t) {
  return 0;
}
toff_t sizeProc(thandle_t handle) {
  auto* file = static_cast<MemoryFile*>(handle);
  return file->output ? file->output->size() : file->input.size();
}
int mapProc(thandle_t, void**, toff_t*) {
  return 0;
}
void unmapProc(thandle_t, void*, toff_t) {}

// libtiff reports through handlers; this library reports undecodable data as "no image", never on a stream.
int quietHandler(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

struct TiffCloser {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
struct OptionsFreer {
  void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

std::unique_ptr<TIFF, TiffCloser> open(MemoryFile& file, const char* mode, tmsize_t maxAllocation) {
  std::unique_ptr<TIFFOpenOptions, OptionsFreer> options(TIFFOpenOptionsAlloc());
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), quietHandler, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), quietHandler, nullptr);
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), maxAllocation);
  return std::unique_ptr<TIFF, TiffCloser>(TIFFClientOpenExt("memory", mode, &file, readProc, writeProc,
                                                             seekProc, closeProc, sizeProc, mapProc,
                                                             unmapProc, options.get()));
}

}  // namespace

bool isTiff(std::span<const std::uint8_t> data) {
  return data.size() >= 8 && ((data[0] == 'I' && data[1] == 'I' && data[2] == 42 && data[3] == 0) ||
                              (data[0] == 'M' && data[1] == 'M' && data[2] == 0 && data[3] == 42));
}

bool decodeTiff(std::span<const std::uint8_t> data, const OSImageDecodingLimits& limits,
                ImageReceiver& receiver) {
  if (!isTiff(data)) return false;
  MemoryFile file{data, nullptr, 0};
  const auto maxAllocation =
      static_cast<tmsize_t>(std::min<std::uint64_t>(limits.maxPixels * 4 + 65536, 1ULL << 40));
  auto tiff = open(file, "rm", maxAllocation);
  if (!tiff) return false;
  std::uint32_t width = 0, height = 0;
  TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
  if (!withinLimits(width, height, limits)) return false;
  char message[1024];
  if (!TIFFRGBAImageOK(tiff.get(), message)) return false;
  std::unique_ptr<std::uint32_t[]> raster(new (std::nothrow) std::uint32_t[std::size_t{width} * height]);
  if (!raster) return false;
  // libtiff hands out associated (premultiplied) alpha, converting unassociated alpha itself.
  if (!TIFFReadRGBAImageOriented(tiff.get(), width, height, raster.get(), ORIENTATION_TOPLEFT, 0))
    return false;
  receiver.begin(width, height, ImageReceiver::RowFormat::premultipliedRgba);
  std::vector<std::uint8_t> row(std::size_t{width} * 4);
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint32_t* in = raster.get() + std::size_t{y} * width;
    for (std::uint32_t x = 0; x < width; ++x) {
      row[4 * x] = static_cast<std::uint8_t>(TIFFGetR(in[x]));
      row[4 * x + 1] = static_cast<std::uint8_t>(TIFFGetG(in[x]));
      row[4 * x + 2] = static_cast<std::uint8_t>(TIFFGetB(in[x]));
      row[4 * x + 3] = static_cast<std::uint8_t>(TIFFGetA(in[x]));
    }
    receiver.row(row.data());
  }
  return true;
}

OSData encodeTiff(const OSImage& image) {
  OSData out;
  MemoryFile file{{}, &out, 0};
  auto tiff = open(file, "w", 0);
  if (!tiff) return {};
  TIFF* t = tiff.get();
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, image.width());
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, image.height());
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 4);
  std::uint16_t extra[] = {EXTRASAMPLE_ASSOCALPHA};
  TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  std::vector<std::uint8_t> row(std::size_t{image.width()} * 4);
  for (std::uint32_t y = 0; y < image.height(); ++y) {
    std::memcpy(row.data(), image.pixels().data() + y * image.stride(), row.size());
    premultiplyRow(row.data(), image.width());
    if (TIFFWriteScanline(t, row.data(), y, 0) < 0) return {};
  }
  tiff.reset();  // closing writes the directory
  return out;
}

}  // namespace osimagehashing
