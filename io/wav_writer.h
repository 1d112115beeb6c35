// Woices as WAV files: each woice, as the downgrade step left it (PCM as stored, or
// rendered or decoded to PCM), becomes one RIFF WAVE file of its own channels, bits and
// rate, with a sampler chunk that gives samplers the woice's basic key as its root note.
#pragma once

#include <cstdio>
#include <string>

struct Run;
struct TargetWoice;
struct Woice;

// "NN name.wav" for woice `index`: the name's printable ASCII, with every character a file
// name cannot hold on Linux or Windows (and a trailing dot or blank) written as "_", so that
// every build names the files alike. "NN.wav" for a woice without a name.
std::string wav_file_name(int index, const Woice& woice);
// Writes the WAV file of `tw` into `out`. Returns 1, or 0 with the ErrorText set ("write
// wav" for PCM a WAV file cannot hold).
int write_wav(Run& run, const TargetWoice& tw, FILE* out);
