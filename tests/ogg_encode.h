// Makes small Ogg Vorbis streams for the tests (a tone, a different pitch per channel, so a
// channel mix-up shows), so that decoding is tested on real streams without any sample file.
#pragma once

#include <vorbis/vorbisenc.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ogg_encode {

inline void append_page(std::vector<uint8_t>& out, const ogg_page& page) {
  out.insert(out.end(), page.header, page.header + page.header_len);
  out.insert(out.end(), page.body, page.body + page.body_len);
}

// A stream of `signal(channel, frame)`, floats from -1 to 1. Returns an empty vector when
// the encoder refuses the parameters.
template <typename Signal>
std::vector<uint8_t> encode_stream(int channels, int rate, int frames, Signal signal) {
  std::vector<uint8_t> out;
  vorbis_info vi;
  vorbis_info_init(&vi);
  if (vorbis_encode_init_vbr(&vi, channels, rate, 0.3f) != 0) {
    vorbis_info_clear(&vi);
    return out;
  }
  vorbis_comment vc;
  vorbis_comment_init(&vc);
  vorbis_dsp_state vd;
  vorbis_analysis_init(&vd, &vi);
  vorbis_block vb;
  vorbis_block_init(&vd, &vb);
  ogg_stream_state os;
  ogg_stream_init(&os, 1234);
  ogg_packet header, header_comm, header_code;
  vorbis_analysis_headerout(&vd, &vc, &header, &header_comm, &header_code);
  ogg_stream_packetin(&os, &header);
  ogg_stream_packetin(&os, &header_comm);
  ogg_stream_packetin(&os, &header_code);
  ogg_page og;
  while (ogg_stream_flush(&os, &og) != 0) append_page(out, og);

  ogg_packet op;
  bool eos = false;
  auto drain = [&] {
    while (!eos && vorbis_analysis_blockout(&vd, &vb) == 1) {
      vorbis_analysis(&vb, nullptr);
      vorbis_bitrate_addblock(&vb);
      while (vorbis_bitrate_flushpacket(&vd, &op)) {
        ogg_stream_packetin(&os, &op);
        while (!eos && ogg_stream_pageout(&os, &og) != 0) {
          append_page(out, og);
          if (ogg_page_eos(&og)) eos = true;
        }
      }
    }
  };
  // Fed a block at a time: the encoder works over whatever it is given on the stack, so a
  // long stream handed over at once overflows it.
  constexpr int BLOCK = 4096;
  for (int start = 0; start < frames; start += BLOCK) {
    const int n = frames - start < BLOCK ? frames - start : BLOCK;
    float** buffer = vorbis_analysis_buffer(&vd, n);
    for (int c = 0; c < channels; ++c) {
      for (int i = 0; i < n; ++i) buffer[c][i] = signal(c, start + i);
    }
    vorbis_analysis_wrote(&vd, n);
    drain();
  }
  vorbis_analysis_wrote(&vd, 0);
  drain();
  while (ogg_stream_flush(&os, &og) != 0) append_page(out, og);
  ogg_stream_clear(&os);
  vorbis_block_clear(&vb);
  vorbis_dsp_clear(&vd);
  vorbis_comment_clear(&vc);
  vorbis_info_clear(&vi);
  return out;
}

inline std::vector<uint8_t> tone_stream(int channels, int rate, int frames) {
  return encode_stream(channels, rate, frames, [](int c, int i) {
    return 0.5f * std::sin(static_cast<float>(i) * 0.05f * static_cast<float>(c + 1));
  });
}

inline uint32_t page_crc(const uint8_t* data, size_t n) {
  uint32_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 24;
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

// Gives the last page another granule position (the stream's length it claims), with a
// valid checksum.
inline std::vector<uint8_t> with_last_granule(std::vector<uint8_t> data, uint64_t granule) {
  size_t at = 0;
  for (size_t i = 0; i + 4 <= data.size(); ++i) {
    if (std::memcmp(&data[i], "OggS", 4) == 0) at = i;
  }
  for (int k = 0; k < 8; ++k)
    data[at + 6 + static_cast<size_t>(k)] = static_cast<uint8_t>(granule >> (8 * k));
  auto put_crc = [&](uint32_t v) {
    for (int k = 0; k < 4; ++k)
      data[at + 22 + static_cast<size_t>(k)] = static_cast<uint8_t>(v >> (8 * k));
  };
  put_crc(0);
  put_crc(page_crc(&data[at], data.size() - at));
  return data;
}

}  // namespace ogg_encode
