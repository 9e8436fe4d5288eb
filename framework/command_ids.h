// Command ids shared by the menus, the accelerator table and the handlers.
// The framework-range ids (57600 and up) keep their conventional meanings.
#pragma once

namespace kestrel::cmd {

// Menu and string resources.
inline constexpr int kMenuMainFrame = 128;     // no document window open
inline constexpr int kMenuFileDocument = 129;  // new, opened and extracted documents
inline constexpr int kMenuContext = 130;       // pane context menus
inline constexpr int kMenuCaptureDocument = 131;
inline constexpr int kMenuPrintDocument = 132;
inline constexpr int kMenuCaptureContext = 133;  // pane context menus with capture items

// Positions of the popups inside the context menu resources 130 and 133.
inline constexpr int kPopupDump = 0;
inline constexpr int kPopupTree = 1;
inline constexpr int kPopupList = 2;
inline constexpr int kPopupMainFrame = 3;

// Window arrangement.
inline constexpr int kWindowTileSideBySide = 32771;  // left to right

// Capture commands of the child frame.
inline constexpr int kCaptureStop = 32774;
inline constexpr int kCaptureStopAll = 32775;
inline constexpr int kCaptureStart = 32776;
inline constexpr int kCaptureStartAll = 32777;

// Hex dump font sizes, largest to smallest.
inline constexpr int kDumpFontLargest = 32779;
inline constexpr int kDumpFontLarge = 32780;
inline constexpr int kDumpFontMedium = 32781;
inline constexpr int kDumpFontSmall = 32782;
inline constexpr int kDumpFontSmallest = 32783;

// Decode tree font sizes, largest to smallest.
inline constexpr int kTreeFontLargest = 32784;
inline constexpr int kTreeFontLarge = 32785;
inline constexpr int kTreeFontMedium = 32786;
inline constexpr int kTreeFontSmall = 32787;
inline constexpr int kTreeFontSmallest = 32788;

inline constexpr int kTreeCaptureStart = 32789;
inline constexpr int kTreeCaptureStop = 32790;

// Packet list font sizes, largest to smallest.
inline constexpr int kListFontLargest = 32791;
inline constexpr int kListFontLarge = 32792;
inline constexpr int kListFontMedium = 32793;
inline constexpr int kListFontSmall = 32794;
inline constexpr int kListFontSmallest = 32795;

inline constexpr int kListCaptureStart = 32796;
inline constexpr int kListCaptureStop = 32797;
inline constexpr int kDumpCaptureStart = 32798;
inline constexpr int kDumpCaptureStop = 32799;

inline constexpr int kListAutoScroll = 32800;

// Characters per data line in the decode tree.
inline constexpr int kTreeLine80 = 32802;
inline constexpr int kTreeLine64 = 32803;
inline constexpr int kTreeLine32 = 32804;
inline constexpr int kTreeLine16 = 32805;
inline constexpr int kTreeLine48 = 32806;

inline constexpr int kListExtract = 32807;

// Placeholder items of the adapter popups, removed before a menu shows.
inline constexpr int kAdapterPlaceholder = 32809;
inline constexpr int kAdapterPlaceholderDocument = 34000;

// One adapter each in the adapter popup.
inline constexpr int kAdapterFirst = 33000;
inline constexpr int kAdapterLast = 33099;

inline constexpr int kListDelete = 34001;
inline constexpr int kListSelectAll = 34003;

// Framework-range commands.
inline constexpr int kFileNew = 57600;
inline constexpr int kFileOpen = 57601;
inline constexpr int kFileClose = 57602;
inline constexpr int kFileSave = 57603;
inline constexpr int kFileSaveAs = 57604;
inline constexpr int kFilePrintSetup = 57606;
inline constexpr int kFilePrint = 57607;
inline constexpr int kFilePrintDirect = 57608;
inline constexpr int kFilePrintPreview = 57609;
inline constexpr int kEditCopy = 57634;
inline constexpr int kEditCut = 57635;
inline constexpr int kEditPaste = 57637;
inline constexpr int kEditUndo = 57643;
inline constexpr int kWindowNew = 57648;
inline constexpr int kWindowArrange = 57649;
inline constexpr int kWindowCascade = 57650;
inline constexpr int kWindowTileStacked = 57651;  // top to bottom
inline constexpr int kAppAbout = 57664;
inline constexpr int kAppExit = 57665;
inline constexpr int kNextPane = 57680;
inline constexpr int kPrevPane = 57681;
inline constexpr int kViewStatusBar = 59393;

// The entries of the window list appended to the "ｳｨﾝﾄﾞｳ(&W)" popup.
inline constexpr int kWindowListFirst = 65280;

}  // namespace kestrel::cmd
