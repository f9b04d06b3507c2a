// A small reader of ELF files for tests that look at the shipped library as a
// file: its sections, its loaded segments and its dynamic symbols.
#pragma once

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kstest {

struct ElfSection {
    std::string name;
    uint32_t type = 0;
    uint64_t flags = 0;
    uint64_t addr = 0, offset = 0, size = 0;
};

struct ElfSegment {
    uint32_t type = 0, flags = 0;
    uint64_t offset = 0, vaddr = 0, filesz = 0, memsz = 0;
};

struct ElfSymbol {
    std::string name;
    uint64_t value = 0, size = 0;
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
    std::string contents(const ElfSection &s) const { return image.substr(s.offset, s.size); }
    const ElfSymbol *dynsym(const std::string &name) const {
        for (const auto &s : dynsyms)
            if (s.name == name) return &s;
        return nullptr;
    }
};

namespace detail {

template <typename T>
T read_at(const std::string &image, uint64_t off) {
    T v{};
    if (off <= image.size() && image.size() - off >= sizeof(T)) std::memcpy(&v, image.data() + off, sizeof v);
    return v;
}

template <typename Ehdr, typename Shdr, typename Phdr, typename Sym>
bool parse(ElfFile &f) {
    auto eh = read_at<Ehdr>(f.image, 0);
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        auto ph = read_at<Phdr>(f.image, eh.e_phoff + uint64_t{i} * sizeof(Phdr));
        f.segments.push_back({ph.p_type, ph.p_flags, ph.p_offset, ph.p_vaddr, ph.p_filesz, ph.p_memsz});
    }
    std::vector<Shdr> raw;
    for (unsigned i = 0; i < eh.e_shnum; ++i) raw.push_back(read_at<Shdr>(f.image, eh.e_shoff + uint64_t{i} * sizeof(Shdr)));
    if (eh.e_shstrndx >= raw.size()) return false;
    const Shdr &names = raw[eh.e_shstrndx];
    for (const Shdr &sh : raw)
        f.sections.push_back({std::string(f.image.c_str() + names.sh_offset + sh.sh_name), sh.sh_type, sh.sh_flags,
                              sh.sh_addr, sh.sh_offset, sh.sh_size});
    for (const Shdr &sh : raw) {
        if (sh.sh_type != SHT_DYNSYM || sh.sh_link >= raw.size()) continue;
        const Shdr &str = raw[sh.sh_link];
        for (uint64_t off = 0; off + sizeof(Sym) <= sh.sh_size; off += sizeof(Sym)) {
            auto sym = read_at<Sym>(f.image, sh.sh_offset + off);
            f.dynsyms.push_back({std::string(f.image.c_str() + str.sh_offset + sym.st_name), sym.st_value,
                                 sym.st_size, sym.st_shndx});
        }
    }
    return true;
}

}  // namespace detail

inline bool read_elf(const std::string &path, ElfFile &f) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    f.image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (f.image.size() < EI_NIDENT || std::memcmp(f.image.data(), ELFMAG, SELFMAG) != 0) return false;
    if (f.image[EI_CLASS] == ELFCLASS64) return detail::parse<Elf64_Ehdr, Elf64_Shdr, Elf64_Phdr, Elf64_Sym>(f);
    return detail::parse<Elf32_Ehdr, Elf32_Shdr, Elf32_Phdr, Elf32_Sym>(f);
}

}  // namespace kstest
