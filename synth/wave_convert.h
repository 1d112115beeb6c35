// Turns a coordinate (polyline) wave into a 31-harmonic oscillator wave for the oldest
// qxVoice layout.
#pragma once

struct Project;
struct Voice;

int coordinate_to_oscillator(Project& p, Voice& voice, const char* woice_name, int voice_index);
