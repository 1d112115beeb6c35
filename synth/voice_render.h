// Renders one 200-frame stereo 16-bit cycle of each qxVoice voice into its VoiceInstance.
#pragma once

#include <cstdint>

struct Point;
struct Woice;

// Returns the woice, or nullptr when a sample block could not be had.
Woice* qxvoice_render(Woice& woice);
double coordinate_level(const Point* points, int32_t point_num, int32_t resolution, int32_t volume,
                        int32_t period, int32_t frame);
