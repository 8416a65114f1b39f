// Where the mixed sound goes, for the whole process: the sound card, or,
// without one (no card, no sound server, --headless), silence that keeps
// time, or with --audio-out a wave file. The stand-ins run on the engine
// clock: before a sound command acts, output_sync() renders every frame up
// to the clock's present time, so a sound started at engine time T starts
// at output frame (T - start) * 48000 exactly, and the streams' positions
// advance as if a card had played them.
#pragma once

#include <string>

#include "sound/mixer.h"

namespace sound {

// Chooses the output before the first sound: `headless` keeps the sound
// card closed, a non-empty `wav_path` writes the output to that file from
// now on (the file starts at the engine clock's present time). False with
// why when the file cannot be made.
bool output_configure(bool headless, const std::string& wav_path, std::string* why);
// The mixer, opening the output at first use.
Mixer& output_mixer();
// Brings a clock-driven output up to the engine clock's present time.
void output_sync();
// Renders what is due, then closes the output (the wave file is completed).
void output_close();

}  // namespace sound
