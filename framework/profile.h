// Integer settings of the program: QSettings of organisation "Brightfold",
// application "Kestrel", group "Settings" (~/.config/Brightfold/Kestrel.conf).
//
// One settings object serves the whole program. Writes go to memory first;
// the file is written once the values have stopped changing for
// kProfileWriteDelayMs, on FlushProfile, and when the application object
// goes. Dragging a window edge, which stores the frame size at every step,
// so costs no disk I/O while it lasts.
#pragma once

namespace kestrel {

inline constexpr const char* kProfileOrganisation = "Brightfold";
inline constexpr const char* kProfileApplication = "Kestrel";
inline constexpr const char* kProfileSection = "Settings";
inline constexpr int kProfileWriteDelayMs = 1000;

// The stored integer, or `defaultValue` when the key is absent or not a number:
// the value this process wrote last, or else what the file holds now.
int GetProfileInt(const char* key, int defaultValue);
bool HasProfileInt(const char* key);
// Stores the value. The file receives it even when this process read or
// wrote the same value before (another running copy may have written a
// different one since); a value the file already holds is not written again.
void WriteProfileInt(const char* key, int value);
// Writes the values that are not in the file yet, now.
void FlushProfile();
// How many times the settings file has been written by this process.
int ProfileFileWrites();

}  // namespace kestrel
