// The chunk loop of song files: the tag table, the handlers of every non-material chunk
// (master, events, units, effects, texts, names, and the legacy records of the oldest
// generation), and the failure texts the loop leaves in the ErrorText.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "project/events.h"

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

// The entries of an "Event V5" chunk as the pre-count read them, and where they stand in the
// file: the chunk loop takes them from here when it comes to the same entries, instead of
// reading them a second time.
struct EventsReadAhead {
  int64_t at = -1;   // where the first entry starts; -1: none read
  int64_t end = -1;  // just after the last
  int32_t count = 0;
  EventArray events;  // clocks as the running sum of the deltas
  // The first entry the chunk's reader would refuse, -1 for none: one whose clock runs back
  // or whose kind is 0 (`unknown_kind` false), or whose kind is past the table (true).
  int32_t refused = -1;
  bool unknown_kind = false;
};
// Reads `count` entries of an "Event V5" chunk into `ahead`, from the source's position on:
// 1 when all were read; 0 when they could not all be read (nothing kept, the source just
// after the last byte read, as skipping them would leave it); -1 when there is no room to
// keep them (nothing read).
int read_event_v5_ahead(ByteSource& source, int32_t count, EventsReadAhead& ahead);

// Reads chunks from just after the header up to the end chunk. On failure the ErrorText
// holds the failing chunk's text (or "it's new format [tag]") and the Project what was
// applied before; the caller clears it. `ahead`: entries the pre-count read, or none.
int read_chunks(Project& p, ByteSource& source, EventsReadAhead* ahead = nullptr);

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
