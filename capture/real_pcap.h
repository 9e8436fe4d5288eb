// Opening an adapter with libpcap itself, shared by the capture engine and
// the capture helper kestrel-capture, so both open adapters alike.
#pragma once

#include <pcap/pcap.h>

#include <string>

#include "capture/pcap_api.h"

namespace kestrel {

// Creates, sets up (snapshot length, promiscuous mode, timeout, immediate
// mode, kernel buffer) and activates the adapter `name`, then applies the
// options' filter. Null on failure, with the library's text in `message`
// and `permissionDenied` set when the failure was a lack of privilege; on
// success `message` holds the library's activation warning (empty when
// none).
pcap_t* OpenLiveHandle(const std::string& name, const LiveOptions& options, std::string& message,
                       bool& permissionDenied);

// Compiles `filter` (tcpdump syntax) for the open handle and applies it;
// false with the library's text.
bool ApplyFilter(pcap_t* handle, const std::string& filter, std::string& error);

}  // namespace kestrel
