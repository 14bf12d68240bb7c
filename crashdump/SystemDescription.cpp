#include "crashdump/SystemDescription.h"

#include <cpuid.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace crashdump {

namespace {

void DescribeProcessor(MINIDUMP_SYSTEM_INFO& info) noexcept
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx)) {
        info.VendorId[0] = ebx;
        info.VendorId[1] = edx;
        info.VendorId[2] = ecx;
    }
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        unsigned family = (eax >> 8) & 0xf;
        unsigned model = (eax >> 4) & 0xf;
        if (family == 0xf)
            family += (eax >> 20) & 0xff;
        if (family >= 6)
            model += ((eax >> 16) & 0xf) << 4;
        info.ProcessorLevel = static_cast<uint16_t>(family);
        info.ProcessorRevision = static_cast<uint16_t>((model << 8) | (eax & 0xf));
        info.VersionInformation = eax;
        info.FeatureInformation = edx;
    }
    if (std::memcmp(info.VendorId, "AuthenticAMD", 12) == 0 && __get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx))
        info.AMDExtendedCpuFeatures = edx;
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    info.NumberOfProcessors = static_cast<uint8_t>(processors < 1 ? 1 : processors > 255 ? 255 : processors);
}

}  // namespace

void DescribeSystem(MINIDUMP_SYSTEM_INFO& info, char* description, size_t capacity) noexcept
{
    std::memset(&info, 0, sizeof info);
    info.ProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
    info.PlatformId = PLATFORM_ID_LINUX;
    DescribeProcessor(info);
    utsname system;
    if (uname(&system) != 0) {
        std::snprintf(description, capacity, "Linux");
        return;
    }
    // "6.1.0-18-amd64": major, minor and patch level.
    char* rest = system.release;
    info.MajorVersion = static_cast<uint32_t>(std::strtoul(rest, &rest, 10));
    info.MinorVersion = static_cast<uint32_t>(*rest == '.' ? std::strtoul(rest + 1, &rest, 10) : 0);
    info.BuildNumber = static_cast<uint32_t>(*rest == '.' ? std::strtoul(rest + 1, &rest, 10) : 0);
    std::snprintf(description, capacity, "%s %s %s %s", system.sysname, system.release, system.version, system.machine);
}

}  // namespace crashdump
