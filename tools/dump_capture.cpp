#include <cstdio>

#include "tools/dump_modes.h"

namespace kestrel::dump {

// Replaced by the capture engine front end.
int ListAdapters() {
    std::fputs("kestrel-dump: --list-adapters is not built yet\n", stderr);
    return 1;
}

int CaptureToFile(const std::string&, int, const std::string&) {
    std::fputs("kestrel-dump: --capture is not built yet\n", stderr);
    return 1;
}

}  // namespace kestrel::dump
