// SPDX-License-Identifier: Apache-2.0
// Reading a named section out of an ELF file (32- or 64-bit), and finding the
// file that holds a given address in this process.
#pragma once

#include <string>

namespace ksh {

// Contents of the section, or false when the file or section is missing.
bool read_elf_section(const std::string &path, const char *section, std::string &out);

// Path of the loaded object (executable or shared library) whose segments
// contain addr, or an empty string.
std::string object_path_of(const void *addr);

}  // namespace ksh
