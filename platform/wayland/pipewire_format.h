// The video format this program asks a PipeWire screen stream for, and what the stream settled on. Written in
// C: the pod-building macros of the SPA headers use C compound literals.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct spa_pod;

// Raw video in one of the 32-bit formats the copy understands, any size, at most `maxFramesPerSecond`; the
// pod lives in `buffer`.
const struct spa_pod* tessaronVideoFormats(uint8_t* buffer, size_t size, uint32_t maxFramesPerSecond);

// Buffers the copy can map: shared memory, never DMA-BUF.
const struct spa_pod* tessaronBufferTypes(uint8_t* buffer, size_t size);

// The settled format: 0 on success.
int tessaronParseVideoFormat(const struct spa_pod* param, uint32_t* format, uint32_t* width,
                             uint32_t* height);

// Whether the SPA video format keeps blue in the first byte (BGRx, BGRA); 0: red first (RGBx, RGBA).
int tessaronBlueFirst(uint32_t format);

#ifdef __cplusplus
}
#endif
