// Turns a coordinate (polyline) wave into a 31-harmonic oscillator wave for the oldest
// qxVoice layout.
#pragma once

struct Run;
struct Voice;

int coordinate_to_oscillator(Run& run, Voice& voice, const char* woice_name, int voice_index);
