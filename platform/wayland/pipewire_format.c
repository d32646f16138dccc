#include "platform/wayland/pipewire_format.h"

#include <spa/buffer/buffer.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

const struct spa_pod* tessaronVideoFormats(uint8_t* buffer, size_t size, uint32_t maxFramesPerSecond) {
  struct spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, (uint32_t)size);
  return spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size,
      SPA_POD_CHOICE_RANGE_Rectangle(&SPA_RECTANGLE(1920, 1080), &SPA_RECTANGLE(1, 1),
                                     &SPA_RECTANGLE(16384, 16384)),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&SPA_FRACTION(0, 1)), SPA_FORMAT_VIDEO_maxFramerate,
      SPA_POD_CHOICE_RANGE_Fraction(&SPA_FRACTION(maxFramesPerSecond, 1), &SPA_FRACTION(0, 1),
                                    &SPA_FRACTION(maxFramesPerSecond, 1)));
}

const struct spa_pod* tessaronBufferTypes(uint8_t* buffer, size_t size) {
  struct spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, (uint32_t)size);
  return spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
                                    SPA_PARAM_BUFFERS_dataType,
                                    SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd)));
}

int tessaronParseVideoFormat(const struct spa_pod* param, uint32_t* format, uint32_t* width,
                             uint32_t* height) {
  uint32_t mediaType = 0, mediaSubtype = 0;
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
      mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
    return -1;
  struct spa_video_info_raw info;
  if (spa_format_video_raw_parse(param, &info) < 0) return -1;
  *format = info.format;
  *width = info.size.width;
  *height = info.size.height;
  return 0;
}

int tessaronBlueFirst(uint32_t format) {
  return format == SPA_VIDEO_FORMAT_BGRx || format == SPA_VIDEO_FORMAT_BGRA;
}
