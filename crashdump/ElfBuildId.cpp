#include "crashdump/ElfBuildId.h"

#include "crashdump/RawSyscall.h"

#include <elf.h>

#include <cstring>

namespace crashdump {

namespace {

constexpr size_t kMaxProgramHeaders = 32;
constexpr size_t kMaxNoteSegmentSize = 1024;

template <class T>
bool ReadRecord(uint64_t address, T& record) noexcept
{
    return sys::ReadOwnMemory(address, &record, sizeof record) == static_cast<ssize_t>(sizeof record);
}

bool ReadHeader(uint64_t base, Elf64_Ehdr& header) noexcept
{
    return ReadRecord(base, header) && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
           header.e_ident[EI_CLASS] == ELFCLASS64 && header.e_phentsize == sizeof(Elf64_Phdr);
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) noexcept
{
    return (value + alignment - 1) & ~(alignment - 1);
}

// Looks through one note segment for the GNU build id.
size_t FindBuildIdNote(const uint8_t* notes, size_t size, uint64_t alignment, uint8_t (&id)[kMaxBuildIdSize]) noexcept
{
    for (uint64_t at = 0; at + sizeof(Elf64_Nhdr) <= size;) {
        Elf64_Nhdr note;
        std::memcpy(&note, notes + at, sizeof note);
        const uint64_t name = at + sizeof note;
        const uint64_t description = AlignUp(name + note.n_namesz, alignment);
        if (description + note.n_descsz > size)
            return 0;
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(notes + name, "GNU", 4) == 0) {
            const size_t length = note.n_descsz < kMaxBuildIdSize ? note.n_descsz : kMaxBuildIdSize;
            std::memcpy(id, notes + description, length);
            return length;
        }
        at = AlignUp(description + note.n_descsz, alignment);
    }
    return 0;
}

}  // namespace

bool IsElfImage(uint64_t base) noexcept
{
    Elf64_Ehdr header;
    return ReadHeader(base, header);
}

size_t ReadElfBuildId(uint64_t base, uint8_t (&id)[kMaxBuildIdSize]) noexcept
{
    Elf64_Ehdr header;
    if (!ReadHeader(base, header))
        return 0;
    Elf64_Phdr segments[kMaxProgramHeaders];
    const size_t count = header.e_phnum < kMaxProgramHeaders ? header.e_phnum : kMaxProgramHeaders;
    const size_t bytes = count * sizeof(Elf64_Phdr);
    if (sys::ReadOwnMemory(base + header.e_phoff, segments, bytes) != static_cast<ssize_t>(bytes))
        return 0;
    // Addresses in the headers are relative to the first loaded segment,
    // which is mapped at `base`.
    uint64_t firstAddress = UINT64_MAX;
    for (size_t i = 0; i < count; ++i) {
        if (segments[i].p_type == PT_LOAD && segments[i].p_vaddr < firstAddress)
            firstAddress = segments[i].p_vaddr & ~uint64_t{0xfff};
    }
    if (firstAddress == UINT64_MAX)
        return 0;
    for (size_t i = 0; i < count; ++i) {
        const Elf64_Phdr& segment = segments[i];
        if (segment.p_type != PT_NOTE)
            continue;
        uint8_t notes[kMaxNoteSegmentSize];
        const size_t size = segment.p_filesz < sizeof notes ? segment.p_filesz : sizeof notes;
        if (sys::ReadOwnMemory(base + segment.p_vaddr - firstAddress, notes, size) != static_cast<ssize_t>(size))
            continue;
        if (const size_t length = FindBuildIdNote(notes, size, segment.p_align == 8 ? 8 : 4, id))
            return length;
    }
    return 0;
}

}  // namespace crashdump
