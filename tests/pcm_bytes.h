// The frames of a PCM buffer, wherever they stand: in memory, or still in the file it was
// read from.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/input_file.h"
#include "project/project.h"

inline std::vector<uint8_t> pcm_bytes(const PcmBuffer& pcm) {
  if (!pcm.input) return pcm.samples;
  std::vector<uint8_t> bytes(static_cast<size_t>(pcm.sample_num) * pcm.channels * (pcm.bits / 8));
  if (!read_input_range(*pcm.input, pcm.input_offset, static_cast<int64_t>(bytes.size()),
                        bytes.data())) {
    return {};
  }
  return bytes;
}
