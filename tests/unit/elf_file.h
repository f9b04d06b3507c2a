// A small reader of the shipped library as a file, for the tests that look
// at its sections, its loaded segments and its dynamic symbols. The library
// is built for the same target as the tests, so its ELF class is the tests'.
#pragma once

#include <link.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kstest {

struct ElfSection {
    std::string name;
    uint64_t flags = 0, offset = 0, size = 0;
};
struct ElfSegment {
    uint32_t type = 0;
    uint64_t offset = 0, filesz = 0;
};
struct ElfSymbol {
    std::string name;
    uint64_t size = 0;
    uint16_t shndx = 0;
};

struct ElfFile {
    std::string image;
    std::vector<ElfSection> sections;
    std::vector<ElfSegment> segments;
    std::vector<ElfSymbol> dynsyms;

    const ElfSection *section(const std::string &name) const {
        for (const auto &s : sections)
            if (s.name == name) return &s;
        return nullptr;
    }
    const ElfSymbol *dynsym(const std::string &name) const {
        for (const auto &s : dynsyms)
            if (s.name == name) return &s;
        return nullptr;
    }
    std::string contents(const ElfSection &s) const { return image.substr(s.offset, s.size); }
    template <typename T>
    T at(uint64_t off) const {
        T v{};
        if (off <= image.size() && image.size() - off >= sizeof(T)) std::memcpy(&v, image.data() + off, sizeof v);
        return v;
    }
    std::string text(uint64_t off) const { return off < image.size() ? std::string(image.c_str() + off) : ""; }
};

inline bool read_elf(const std::string &path, ElfFile &f) {
    std::ifstream in(path, std::ios::binary);
    f.image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const auto eh = f.at<ElfW(Ehdr)>(0);
    if (f.image.size() < sizeof eh || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) return false;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        const auto ph = f.at<ElfW(Phdr)>(eh.e_phoff + uint64_t{i} * sizeof(ElfW(Phdr)));
        f.segments.push_back({ph.p_type, ph.p_offset, ph.p_filesz});
    }
    std::vector<ElfW(Shdr)> sh;
    for (unsigned i = 0; i < eh.e_shnum; ++i) sh.push_back(f.at<ElfW(Shdr)>(eh.e_shoff + uint64_t{i} * sizeof(ElfW(Shdr))));
    if (eh.e_shstrndx >= sh.size()) return false;
    for (const auto &s : sh) f.sections.push_back({f.text(sh[eh.e_shstrndx].sh_offset + s.sh_name), s.sh_flags, s.sh_offset, s.sh_size});
    for (const auto &s : sh) {
        if (s.sh_type != SHT_DYNSYM || s.sh_link >= sh.size()) continue;
        for (uint64_t off = 0; off + sizeof(ElfW(Sym)) <= s.sh_size; off += sizeof(ElfW(Sym))) {
            const auto sym = f.at<ElfW(Sym)>(s.sh_offset + off);
            f.dynsyms.push_back({f.text(sh[s.sh_link].sh_offset + sym.st_name), sym.st_size, sym.st_shndx});
        }
    }
    return true;
}

}  // namespace kstest
