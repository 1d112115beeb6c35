// The inspection mode: what each file holds and what every target would do with it, found
// by loading the file once and running each target's downgrade step, then its write (less
// the events) into a stream that keeps nothing. No file is written anywhere. The command
// line hands it files; a folder argument stands for the files directly inside it, as for
// --target.
//
// Plain text (json false): one block per file, plain lines, made for reading in a terminal.
//
// JSON (json true): one document for the whole run, compact, each file's document on a line
// of its own inside it:
//   {"version": 1, "files": [file document, ...]}
// A file document:
//   {"file": path, "loaded": true, "kind": "project" | "tune" | "instrument" | "midi",
//    "generation": 1..5 or null for an instrument file or a MIDI file,
//    "master": {"beat_clock", "beat_num", "beat_tempo", "repeat_meas", "last_meas"},
//    "measures": n, "name": text or null, "comment": text or null,
//    "units": [{"index", "name"}],
//    "woices": [{"index", "name", "kind": "PCM" | "qxVoice" | "qxNoise" | "OGG",
//                "voices", "material_bytes"}],
//    "delays": [{"index", "group", "delay_unit", "value_a", "value_b"}],
//    "overdrives": [{"index", "group", "cut", "amp"}],
//    "events": {kind name: count, for every kind from "On" to "pan-time"},
//    "read_notes": [what loading said was not read (MIDI files), without the markers],
//    "targets": [{"target": 1..13, "label", "ok": bool, "error" (only when not ok),
//                 "notes": [the conversion's console lines, without their markers],
//                 "dropped_kinds": [{"kind", "unit", "count"}],
//                 "materials": [{"woice", "name", "from": "qxVoice" | "qxNoise" | "OGG",
//                                "to": "PCM", "from_bytes", "to_bytes"}],
//                 "units_dropped": [{"unit", "name": text or null, "events"}],
//                 "clamps": [{"what", "count", "from" and "to" where one value changed,
//                             "name" of a woice's oscillator or voice}],
//                 "not_written": [{"what", "count"}]}]}
// A file that does not load gives {"file": path, "loaded": false, "error": text}.
// The lists after "notes" are the losses the notes say, as the downgrade step recorded them
// (see LossRecord in project/project.h): "dropped_kinds" one entry a unit and kind (the
// warning is said once a kind), "clamps" and "not_written" named by "what" (the man page
// lists the names). Bytes of names and comments that are not UTF-8 are replaced by U+FFFD.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The "version" of the JSON document; raised when a field changes meaning or goes away.
constexpr int INFO_JSON_VERSION = 1;

// Writes the report of every file to `out`; returns the exit status: 0 when every file
// loaded, 1 when any did not.
int run_info(const std::vector<std::string>& files, bool json, FILE* out);

// One file's document (an element of "files" above), compact: the page's report.
std::string info_file_document(const std::string& path);
