// The writer driver: writes the loaded Project as one output file of the chosen target,
// in the target's chunk order, and deletes the file when any step fails.
#pragma once

#include <string>

struct Project;

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
};

// Returns 1 when the file is complete; 0 with the ErrorText set, the output deleted.
int write_output(Project& p, const std::string& path, int target);
