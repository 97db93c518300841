// What the program's entry on each platform shares (entry.cpp, linked into
// k24update alone): the platform makes its ports, these do the rest.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "console/console.h"
#include "dialogue/instance_lock.h"
#include "images/image_source.h"
#include "link/usb_driver.h"

namespace k24 {

// Answers a request for usage, version or history on standard output (a
// history that cannot be shown, or a --path without a place, on standard
// error) and returns the exit code; none when the command line starts the
// dialogue or the listing. Called before anything else is made: no lock
// taken, no bus opened, no image read.
std::optional<int> AnswerCommandLineRequest(std::span<const std::string> args);

// Whether the command line asks for the listing (--list, a --trace beside
// it or not), which reads no keys and so needs no terminal.
bool ListsRecorders(std::span<const std::string> args);

// The dialogue (or, for --list, the listing) over the platform's ports, with
// the system's clocks and update history and what the program recorded of
// its images; returns the exit code once the output is flushed.
// `recorderRefusedHint` is what the platform tells of a recorder it cannot
// open (dialogue.h: kRecorderRefusedHint, kRecorderWithoutDriverHint).
int RunUpdater(std::span<const std::string> args, ImageSource& images, Console& console, InstanceLock& lock,
               UsbDriver& driver, const char* recorderRefusedHint);

}  // namespace k24
