// The targets a song can be written as, one row each: what the menu calls it, the file's
// magic and version words, and every rule that differs between targets (which event kinds
// survive, how units meet woices, what each material kind becomes, whether tunes may come).
// Code asks the row; a new target is a new row and its writer.
#pragma once

#include <cstdint>
#include <string_view>

enum TargetFormat : int {
  TARGET_X1X_PCM = 1,
  TARGET_X1X_OLD_VOICE = 2,
  TARGET_X2X_MID_VOICE = 3,
  TARGET_X2X_NEW_VOICE = 4,
  TARGET_X3X = 5,
  TARGET_X4X = 6,
  TARGET_X5X_NO_OGG = 7,
  TARGET_X5X_OLD_NOISE = 8,
  TARGET_X5X_NEW_NOISE = 9,
  TARGET_QXI = 10,
  TARGET_QXI_LISTING = 11,
  TARGET_MIDI = 12,
  TARGET_WAV = 13,
};
constexpr int TARGET_COUNT = 13;
// The dialogue's menu: the targets of the song family, 1 to 11.
constexpr int MENU_TARGET_COUNT = 11;
// A number no row has, past the table (as a tune sees it: refused, not moved on).
constexpr int TARGET_PAST_TABLE = 255;

// How the writer lays out a target: the song generations, or the instrument file.
enum TargetWriter : uint8_t {
  WRITER_X1X,
  WRITER_X2X_X3X,
  WRITER_X4X,
  WRITER_X5X,
  WRITER_QXI,
  WRITER_MIDI,
  WRITER_WAV,  // a folder of WAV files, one a woice
};

enum TuneRule : uint8_t {
  TUNE_KEPT,      // written as a tune of this generation
  TUNE_MOVED_ON,  // the generation has no tunes: written as x2x instead
  TUNE_REFUSED,   // "deny beatclock"
};

enum OverdriveLayout : int {
  OVERDRIVE_NONE = 0,    // the instrument file has no effects
  OVERDRIVE_OLD = 1,     // "effeOVER", 8 bytes: group, 0, strength
  OVERDRIVE_STRAIN = 2,  // "effeSTRA", 16 bytes: group, 0, cut, cut, amp
  OVERDRIVE_NEW = 3,     // "effeOVER", 16 bytes: 0, group, cut, amp, 0
};

// What a material kind becomes.
enum MaterialRule : uint8_t {
  MATERIAL_KEPT,     // its own chunk and body
  MATERIAL_TO_PCM,   // rendered or decoded, written as PCM
  MATERIAL_DROPPED,  // not written: the instrument file plays its built-in materials
};

// The qxVoice body layout a target writes: the old one (harmonics only) and the mid one
// need an envelope on every voice.
enum QxVoiceLayout : uint8_t {
  QXVOICE_NONE,
  QXVOICE_OLD_BODY,
  QXVOICE_MID_BODY,
  QXVOICE_NEW_BODY,
};

struct TargetRow {
  int number;
  const char* label;    // the menu's text
  const char* name;     // short, for tables and for the command line
  const char* summary;  // what is converted, for the man page
  const char* family;   // "x1x" to "x5x", "instrument file", "midi" or "wav", as loss lines begin
  int generation;       // 1 to 5; 0 for the instrument file
  TargetWriter writer;
  const char* project_magic;  // nullptr for the instrument file
  const char* tune_magic;     // nullptr where tunes are not written as such
  int exe_version;            // 0: no version words after the magic
  int kind_limit;             // event kinds from this one on are dropped
  OverdriveLayout overdrive_layout;
  bool units_tied_to_woices;  // unit i plays woice i; units are made for woices without one
  TuneRule tunes;
  MaterialRule qxvoice, qxnoise, ogg;
  QxVoiceLayout qxvoice_layout;  // of kept qxVoice woices
  bool old_noise_layout;         // kept qxNoise in the old layout
  bool listing;                  // a plain-text listing beside the output
  const char* extension;  // of the output (a folder's for wav); ".qxtune" where tunes are kept
  const char* tag;        // the generation's short name: "x1x" to "x5x", "qxi", "mid", "wav"
};

// Generations 1 to 3 tie unit i to woice i and keep a woice's basic key and tuning in its
// material header, from which their readers shift the unit's keys and make its correct event.
inline bool old_generation(const TargetRow& row) {
  return row.generation >= 1 && row.generation <= 3;
}

// The song generations, whose files are projects or tunes of this family.
inline bool writes_song(const TargetRow& row) {
  return row.project_magic != nullptr;
}

// The row of `target`, or nullptr when it is not a target.
const TargetRow* target_row(int target);
// The row of a valid target.
const TargetRow& target_rule(int target);
// The target a name stands for on the command line, in any case: a generation's tag for the
// newest editor of that generation ("x1x" 2, "x2x" 4, "x3x" 5, "x4x" 6, "x5x" 9, "qxi" 10,
// "mid" 12, "wav" 13), or the name of a target past the dialogue's menu ("midi"). 0 for
// any other name.
int target_by_name(std::string_view name);
