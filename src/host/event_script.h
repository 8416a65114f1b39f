// Scripted input (--events FILE): window-system events written as text,
// one per line, delivered at their times on the engine clock through the
// same path as the window system's own events, so that scripts that react
// to input can be tested without a screen.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace host {

struct ScriptedEvent {
  uint64_t ms;  // engine-clock milliseconds since the script started
  platform::Event event;
};

// Parses the file's text. False with "line N: ..." in `error` on the first
// line that is not an event.
bool parse_event_script(const std::string& text, std::vector<ScriptedEvent>& out, std::string* error);

// Starts delivering the events; their times count from now.
void set_event_script(std::vector<ScriptedEvent> events);

// The next event whose time has come; false when none is due.
bool next_scripted_event(platform::Event& out);

// True while some scripted event is still to come.
bool scripted_events_left();

// The answer for a dialog that opens now (an "answer" line: a message
// box's button or a file dialog's file name, empty for cancel): the first
// unused answer whose time has come; false when there is none.
bool next_scripted_answer(std::string& out);

// --record FILE: writes every event the window serves, scripted or from the
// window system, as a line of the same format at its engine-clock time, so
// that a session played by hand replays with --events. Times count from
// the call. False with the reason in `error` when the file cannot be made.
bool start_recording(const std::string& path, std::string* error);
// Writes the event (the pump calls it for each event it serves).
void record_event(const platform::Event& event);
// Writes what is pending and closes the file; false when a write failed.
bool stop_recording();

}  // namespace host
