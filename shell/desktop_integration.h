// Registration with the desktop (XDG): the application entry, the MIME type
// of ".pac" files and the icons, written per user when none is installed.
#pragma once

#include <QIcon>
#include <QStringList>

namespace kestrel {

inline constexpr const char* kDesktopFileName = "kestrel.desktop";
inline constexpr const char* kMimeTypeName = "application/x-kestrel-document";
inline constexpr const char* kMimePackageName = "kestrel.xml";

// Writes each missing file under $XDG_DATA_HOME (found neither there nor in
// $XDG_DATA_DIRS); the application entry starts `executable`. An entry that
// Kestrel wrote there before is written again when it names another path
// (or its program no longer runs). The MIME and desktop databases are
// updated (when `updateCaches` and the tools are there) after an entry or a
// type was written. Returns the files written.
QStringList RegisterDesktopIntegration(const QString& executable, bool updateCaches = true);

// The application icon in all its drawn sizes.
QIcon ApplicationIcon();

}  // namespace kestrel
