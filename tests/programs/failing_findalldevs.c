/* Preloaded into kestrel-dump by a test: adapter listing fails as it does
 * when the capture library cannot enumerate the system's interfaces. */
#include <pcap/pcap.h>
#include <string.h>

int pcap_findalldevs(pcap_if_t** list, char* errbuf) {
    *list = NULL;
    strcpy(errbuf, "listing refused by the test");
    return -1;
}
