// The target table.
#include "project/targets.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr MaterialRule KEPT = MATERIAL_KEPT;
constexpr MaterialRule TO_PCM = MATERIAL_TO_PCM;
constexpr MaterialRule DROPPED = MATERIAL_DROPPED;

// clang-format off
constexpr TargetRow TARGET_ROWS[TARGET_COUNT] = {
    {1, "x1x, only PCM ver -> v01NN (06/03/2005)", "x1x, only PCM",
     "every material rendered or decoded to PCM",
     "x1x", 1, WRITER_X1X, "QXMOSAIKA-050227", nullptr, 0, 11, OVERDRIVE_OLD, true,
     TUNE_MOVED_ON, TO_PCM, TO_PCM, TO_PCM, QXVOICE_NONE, true, false, ".qxprj", "x1x"},
    {2, "x1x, OLD qxVoice  -> v0128 (08/26/2005)", "x1x, old qxVoice",
     "qxVoice waves as harmonics, with a default envelope; qxNoise rendered and OGG decoded to PCM",
     "x1x", 1, WRITER_X1X, "QXMOSAIKA-050227", nullptr, 0, 11, OVERDRIVE_OLD, true,
     TUNE_MOVED_ON, KEPT, TO_PCM, TO_PCM, QXVOICE_OLD_BODY, true, false, ".qxprj", "x1x"},
    {3, "x2x, MID qxVoice  -> v05NN (11/01/2005)", "x2x, mid qxVoice",
     "qxVoice with a default envelope; qxNoise in the old layout; OGG decoded to PCM",
     "x2x", 2, WRITER_X2X_X3X, "QXMOSAIKA-050608", "QXTUNE--20050608", 0, 12, OVERDRIVE_STRAIN,
     true, TUNE_KEPT, KEPT, KEPT, TO_PCM, QXVOICE_MID_BODY, true, false, ".qxprj", "x2x"},
    {4, "x2x, NEW qxVoice  -> v06NN (01/15/2006)", "x2x, new qxVoice",
     "qxNoise in the old layout; OGG decoded to PCM",
     "x2x", 2, WRITER_X2X_X3X, "QXMOSAIKA-050608", "QXTUNE--20050608", 0, 12, OVERDRIVE_STRAIN,
     true, TUNE_KEPT, KEPT, KEPT, TO_PCM, QXVOICE_NEW_BODY, true, false, ".qxprj", "x2x"},
    {5, "x3x               -> v071N (09/30/2006)", "x3x",
     "qxNoise in the old layout; OGG decoded to PCM",
     "x3x", 3, WRITER_X2X_X3X, "QXMOSAIKA-060115", "QXTUNE--20060115", 719, 12, OVERDRIVE_STRAIN,
     true, TUNE_KEPT, KEPT, KEPT, TO_PCM, QXVOICE_NEW_BODY, true, false, ".qxprj", "x3x"},
    {6, "x4x               -> v0834 (10/20/2007)", "x4x",
     "qxNoise in the old layout; OGG decoded to PCM",
     "x4x", 4, WRITER_X4X, "QXMOSAIKA-060930", "QXTUNE--20060930", 834, 15, OVERDRIVE_STRAIN,
     false, TUNE_KEPT, KEPT, KEPT, TO_PCM, QXVOICE_NEW_BODY, true, false, ".qxprj", "x4x"},
    {7, "x5x, no OGGv ver -> v0891 (04/07/2008)", "x5x, no OGG",
     "OGG decoded to PCM",
     "x5x", 5, WRITER_X5X, "QXMOSAIKA-071119", "QXTUNE--20071119", 891, 16, OVERDRIVE_NEW,
     false, TUNE_KEPT, KEPT, KEPT, TO_PCM, QXVOICE_NEW_BODY, false, false, ".qxprj", "x5x"},
    {8, "x5x, OLD qxNoise -> v0923 (04/23/2012)", "x5x, old qxNoise",
     "qxNoise in the old layout",
     "x5x", 5, WRITER_X5X, "QXMOSAIKA-071119", "QXTUNE--20071119", 923, 16, OVERDRIVE_NEW,
     false, TUNE_KEPT, KEPT, KEPT, KEPT, QXVOICE_NEW_BODY, true, false, ".qxprj", "x5x"},
    {9, "x5x, NEW qxNoise -> v09NN (present)", "x5x, new qxNoise",
     "nothing converted",
     "x5x", 5, WRITER_X5X, "QXMOSAIKA-071119", nullptr, 925, 16, OVERDRIVE_NEW,
     false, TUNE_REFUSED, KEPT, KEPT, KEPT, QXVOICE_NEW_BODY, false, false, ".qxprj", "x5x"},
    {10, "qxi              -> v0915 (06/12/2011)", "qxi",
     "units 0 to 5, notes, keys, velocities and volumes only",
     "instrument file", 0, WRITER_QXI, nullptr, nullptr, 0, 6, OVERDRIVE_NONE,
     true, TUNE_REFUSED, DROPPED, DROPPED, DROPPED, QXVOICE_NONE, false, false, ".qxi", "qxi"},
    {11, "qxi, txt output  -> v0915", "qxi, txt output",
     "as 10, with a plain-text listing",
     "instrument file", 0, WRITER_QXI, nullptr, nullptr, 0, 6, OVERDRIVE_NONE,
     true, TUNE_REFUSED, DROPPED, DROPPED, DROPPED, QXVOICE_NONE, false, true, ".qxi", "qxi"},
    {12, "midi             -> Standard MIDI File", "midi",
     "notes, keys, velocities, volumes, pans and programs; no materials or effects",
     "midi", 0, WRITER_MIDI, nullptr, nullptr, 0, 7, OVERDRIVE_NONE,
     false, TUNE_KEPT, DROPPED, DROPPED, DROPPED, QXVOICE_NONE, false, false, ".mid", "mid"},
    {13, "wav              -> woices as WAV files", "wav",
     "each woice as a WAV file in a folder, rendered or decoded as for 1; no events",
     "wav", 0, WRITER_WAV, nullptr, nullptr, 0, 0, OVERDRIVE_NONE,
     false, TUNE_KEPT, TO_PCM, TO_PCM, TO_PCM, QXVOICE_NONE, false, false, ".woices", "wav"},
};
// clang-format on

}  // namespace

const TargetRow* target_row(int target) {
  if (target < 1 || target > TARGET_COUNT) return nullptr;
  return &TARGET_ROWS[target - 1];
}

const TargetRow& target_rule(int target) {
  return TARGET_ROWS[target - 1];
}

int target_by_name(std::string_view name) {
  const auto same = [&](std::string_view other) {
    return name.size() == other.size() &&
           std::equal(name.begin(), name.end(), other.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == b;
           });
  };
  int found = 0;
  for (const TargetRow& row : TARGET_ROWS) {
    // A tag names the newest editor of its generation: the last row that has it, but for
    // the one with a listing beside it.
    if ((same(row.tag) && !row.listing) || (row.number > MENU_TARGET_COUNT && same(row.name))) {
      found = row.number;
    }
  }
  return found;
}
