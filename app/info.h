// The inspection mode: what each file holds and what every target would do with it, found
// by loading the file once and running each target's downgrade step, then its write (less
// the events) into a stream that keeps nothing. No file is
// written anywhere.
//
// Plain text (json false): one block per file, plain lines, made for reading in a terminal.
//
// JSON (json true): one compact document per file, each on its own line, so that a script
// can read the output line by line:
//   {"file": path, "loaded": true, "kind": "project" | "tune" | "instrument" | "midi",
//    "generation": 1..5 or null for an instrument file or a MIDI file,
//    "read_notes": [what loading said was not read (MIDI files), without the markers],
//    "master": {"beat_clock", "beat_num", "beat_tempo", "repeat_meas", "last_meas"},
//    "measures": n, "name": text or null, "comment": text or null,
//    "units": [{"index", "name"}],
//    "woices": [{"index", "name", "kind": "PCM" | "qxVoice" | "qxNoise" | "OGG",
//                "voices", "material_bytes"}],
//    "delays": [{"index", "group", "delay_unit", "value_a", "value_b"}],
//    "overdrives": [{"index", "group", "cut", "amp"}],
//    "events": {kind name: count, for every kind from "On" to "pan-time"},
//    "targets": [{"target": 1..11, "label", "ok": bool, "error" (only when not ok),
//                 "notes": [the conversion's console lines, without their markers]}]}
// A file that does not load gives {"file": path, "loaded": false, "error": text}.
// Bytes of names and comments that are not UTF-8 are replaced by U+FFFD.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Writes the report of every file to `out`; returns the exit status: 0 when every file
// loaded, 1 when any did not.
int run_info(const std::vector<std::string>& files, bool json, FILE* out);
