#include "engine/PcapLibrary.h"

#include <dlfcn.h>

namespace {

template <typename Function>
bool Find(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

struct LOADED {
    PCAP_FUNCTIONS Functions;
    std::string Problem;  // empty when loaded
};

LOADED Load()
{
    LOADED loaded;
    // Debian's run-time package: libpcap0.8 (the soname keeps the old number).
    void* library = dlopen("libpcap.so.0.8", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        loaded.Problem = std::string("libpcap cannot be loaded (install the package libpcap0.8): ") + dlerror();
        return loaded;
    }
    PCAP_FUNCTIONS& f = loaded.Functions;
    const bool found = Find(library, "pcap_open_dead_with_tstamp_precision", f.OpenDead) &&
                       Find(library, "pcap_close", f.Close) && Find(library, "pcap_dump_fopen", f.DumpFopen) &&
                       Find(library, "pcap_dump", f.Dump) && Find(library, "pcap_dump_flush", f.DumpFlush) &&
                       Find(library, "pcap_dump_ftell64", f.DumpFtell64) &&
                       Find(library, "pcap_dump_file", f.DumpFile) && Find(library, "pcap_dump_close", f.DumpClose);
    if (!found)
        loaded.Problem = "libpcap lacks a function the capture needs (libpcap 1.9 or later)";
    return loaded;
}

}  // namespace

const PCAP_FUNCTIONS* PcapLibrary(std::string* problem)
{
    static const LOADED loaded = Load();
    if (problem)
        *problem = loaded.Problem;
    return loaded.Problem.empty() ? &loaded.Functions : nullptr;
}
