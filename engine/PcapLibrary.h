#pragma once

#include <pcap/pcap.h>

#include <string>

// libpcap's writer, loaded when capture is first asked for rather than
// linked: the relay package does not depend on libpcap (and the D-Bus
// packages it brings along); an operator who captures installs libpcap0.8.
struct PCAP_FUNCTIONS {
    decltype(&pcap_open_dead_with_tstamp_precision) OpenDead = nullptr;
    decltype(&pcap_close) Close = nullptr;
    decltype(&pcap_dump_fopen) DumpFopen = nullptr;
    decltype(&pcap_dump) Dump = nullptr;
    decltype(&pcap_dump_flush) DumpFlush = nullptr;
    decltype(&pcap_dump_ftell64) DumpFtell64 = nullptr;
    decltype(&pcap_dump_file) DumpFile = nullptr;
    decltype(&pcap_dump_close) DumpClose = nullptr;
};

// The functions, loaded once (thread-safe); null, with the reason in
// `problem` when given, when libpcap cannot be loaded.
[[nodiscard]] const PCAP_FUNCTIONS* PcapLibrary(std::string* problem = nullptr);
