#include <cstdio>

#include "tools/dump_modes.h"

namespace kestrel::dump {

// Replaced by the decode tree printer.
void AppendTree(const Packet&, int, int, std::string&) {
    std::fputs("kestrel-dump: --tree is not built yet\n", stderr);
}

}  // namespace kestrel::dump
