// SPDX-License-Identifier: Apache-2.0
#include "host/trace_text/elf_sections.h"

#include <elf.h>
#include <link.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace ksh {
namespace {

template <typename Ehdr, typename Shdr>
bool find_section(const std::string &image, const char *name, std::string &out) {
    if (image.size() < sizeof(Ehdr)) return false;
    Ehdr eh;
    std::memcpy(&eh, image.data(), sizeof eh);
    if (eh.e_shoff == 0 || eh.e_shentsize != sizeof(Shdr) || eh.e_shstrndx >= eh.e_shnum) return false;
    if (eh.e_shoff > image.size() || (image.size() - eh.e_shoff) / sizeof(Shdr) < eh.e_shnum) return false;
    auto section = [&](unsigned i) {
        Shdr sh;
        std::memcpy(&sh, image.data() + eh.e_shoff + i * sizeof(Shdr), sizeof sh);
        return sh;
    };
    Shdr names = section(eh.e_shstrndx);
    if (names.sh_offset > image.size() || names.sh_size > image.size() - names.sh_offset) return false;
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        Shdr sh = section(i);
        if (sh.sh_name >= names.sh_size) continue;
        const char *n = image.data() + names.sh_offset + sh.sh_name;
        size_t room = names.sh_size - sh.sh_name;
        if (strnlen(n, room) == room || std::strcmp(n, name) != 0) continue;
        if (sh.sh_type == SHT_NOBITS || sh.sh_offset > image.size() || sh.sh_size > image.size() - sh.sh_offset)
            return false;
        out.assign(image.data() + sh.sh_offset, sh.sh_size);
        return true;
    }
    return false;
}

struct Search {
    uintptr_t addr;
    std::string path;
    bool found;
};

int visit(struct dl_phdr_info *info, size_t, void *data) {
    auto *s = static_cast<Search *>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (s->addr >= start && s->addr < start + ph.p_memsz) {
            s->path = (info->dlpi_name && info->dlpi_name[0]) ? info->dlpi_name : "/proc/self/exe";
            s->found = true;
            return 1;
        }
    }
    return 0;
}

}  // namespace

bool read_elf_section(const std::string &path, const char *section, std::string &out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::string image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (image.size() < EI_NIDENT || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0) return false;
    if (image[EI_CLASS] == ELFCLASS64) return find_section<Elf64_Ehdr, Elf64_Shdr>(image, section, out);
    if (image[EI_CLASS] == ELFCLASS32) return find_section<Elf32_Ehdr, Elf32_Shdr>(image, section, out);
    return false;
}

std::string object_path_of(const void *addr) {
    Search s{reinterpret_cast<uintptr_t>(addr), {}, false};
    dl_iterate_phdr(visit, &s);
    return s.found ? s.path : std::string();
}

}  // namespace ksh
