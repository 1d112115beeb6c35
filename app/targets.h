// The eleven targets as the menu names them, for the help text, the inspection report and
// the batch messages.
#pragma once

constexpr int TARGET_COUNT = 11;

// Index 0 is target 1.
inline constexpr const char* TARGET_LABELS[TARGET_COUNT] = {
    "x1x, only PCM ver -> v01NN (06/03/2005)",
    "x1x, OLD qxVoice  -> v0128 (08/26/2005)",
    "x2x, MID qxVoice  -> v05NN (11/01/2005)",
    "x2x, NEW qxVoice  -> v06NN (01/15/2006)",
    "x3x               -> v071N (09/30/2006)",
    "x4x               -> v0834 (10/20/2007)",
    "x5x, no OGGv ver -> v0891 (04/07/2008)",
    "x5x, OLD qxNoise -> v0923 (04/23/2012)",
    "x5x, NEW qxNoise -> v09NN (present)",
    "qxi              -> v0915 (06/12/2011)",
    "qxi, txt output  -> v0915",
};
