// Integer settings of the program: QSettings of organisation "Brightfold",
// application "Kestrel", group "Settings" (~/.config/Brightfold/Kestrel.conf).
#pragma once

namespace kestrel {

inline constexpr const char* kProfileOrganisation = "Brightfold";
inline constexpr const char* kProfileApplication = "Kestrel";
inline constexpr const char* kProfileSection = "Settings";

// The stored integer, or `defaultValue` when the key is absent or not a number.
int GetProfileInt(const char* key, int defaultValue);
bool HasProfileInt(const char* key);
// Stores the value; a value equal to the stored one is not written again.
void WriteProfileInt(const char* key, int value);

}  // namespace kestrel
