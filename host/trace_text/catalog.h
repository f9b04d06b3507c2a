// SPDX-License-Identifier: Apache-2.0
// The trace catalogue of a library file: for every table and message index,
// the argument shape and the stored text (leading space included).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ksh {

struct CatalogMessage {
    uint32_t id = 0;
    std::string shape;  // one char per argument: 'i', 's' or 'p'; empty for none
    std::string text;   // as stored: a leading space, then the text
};

struct Catalog {
    bool loaded = false;
    std::vector<std::vector<CatalogMessage>> tables;
    const CatalogMessage *find(int table, uint32_t index) const;
};

// Reads the catalogue and shape table out of an ELF file.
bool load_catalog(const std::string &path, Catalog &out);

// The catalogue of the object holding this trace descriptor, read once per
// object and kept for the life of the process (null when there is none).
const Catalog *catalog_for_descriptor(const void *descriptor);

// Table number stored in the table record just before the file identity.
int table_of_descriptor(const void *descriptor);

}  // namespace ksh
