// The chunk loop of song files: the tag table, the handlers of every non-material chunk
// (master, events, units, effects, texts, names, and the legacy records of the oldest
// generation), and the failure texts the loop leaves in the ErrorText.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct ByteSource;
struct Project;

enum ChunkCode : int {
  CHUNK_NONE = 0,
  CHUNK_PROJECT_OLD,  // "PROJECT="
  CHUNK_UNIT_OLD,     // "UNIT===="
  CHUNK_PCM_OLD,      // "matePCM="
  CHUNK_EVENT_OLD,    // "EVENT==="
  CHUNK_END_OLD,      // "END====="
  CHUNK_QXSG_UNIT,    // "qxsgUNIT"
  CHUNK_EVEN_MAST,    // "evenMAST"
  CHUNK_EVEN_UNIT,    // "evenUNIT"
  CHUNK_NUM_UNIT,     // "num UNIT"
  CHUNK_MASTER_V5,    // "MasterV5"
  CHUNK_EVENT_V5,     // "Event V5"
  CHUNK_MATE_PCM,     // "matePCM "
  CHUNK_MATE_QXV,     // "mateQXV "
  CHUNK_MATE_QXN,     // "mateQXN "
  CHUNK_MATE_OGGV,    // "mateOGGV"
  CHUNK_EFFE_DELA,    // "effeDELA"
  CHUNK_EFFE_OVER,    // "effeOVER"
  CHUNK_EFFE_STRA,    // "effeSTRA"
  CHUNK_TEXT_NAME,    // "textNAME"
  CHUNK_TEXT_COMM,    // "textCOMM"
  CHUNK_ASSI_UNIT,    // "assiUNIT"
  CHUNK_ASSI_WOIC,    // "assiWOIC"
  CHUNK_END,          // "qxsongND"
};
constexpr int CHUNK_CODE_NUM = CHUNK_END + 1;

// Exact, case-sensitive comparison of the 8 bytes with the table.
ChunkCode chunk_code(const uint8_t tag[8]);
// The 8-character tag of a code (no terminator needed: it is a C string of 8 characters).
const char* chunk_tag(ChunkCode code);

// Reads chunks from just after the header up to the end chunk. On failure the ErrorText
// holds the failing chunk's text (or "it's new format [tag]") and the Project what was
// applied before; the caller clears it.
int read_chunks(Project& p, ByteSource& source);

// The rest of an "evenUNIT" (add_length off, check_reserved on) or "EVENT===" chunk (add_length
// on: every On and portament also advances the clock by its length; check_reserved off).
int read_unit_events(Project& p, ByteSource& source, bool add_length, bool check_reserved,
                     int* new_format);
// The rest of an "effeOVER" chunk, in the new layout or else the old one.
int read_overdrive_chunk(Project& p, ByteSource& source, int* new_format);
// A u32 length and that many bytes; nothing when the length is more than the source holds or
// the read falls short.
std::optional<std::string> read_text_chunk(ByteSource& source);

// Legacy records of the oldest generation.
int read_project_old_chunk(Project& p, ByteSource& source);
int read_unit_old_chunk(Project& p, ByteSource& source);

// Adds the unit a unit record describes: named when a 16-byte name is given, its group
// clamped below group_max, and given the clock-0 group-no and voice-no events that make it
// play the woice of its own index.
int unit_add_from_record(Project& p, uint16_t group, const char* name);
