// SPDX-License-Identifier: Apache-2.0
#include "host/trace_text/catalog.h"

#include <bzlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include "host/trace_text/elf_sections.h"

namespace ksh {

const CatalogMessage *Catalog::find(int table, uint32_t index) const {
    if (table < 0 || static_cast<size_t>(table) >= tables.size()) return nullptr;
    const auto &t = tables[static_cast<size_t>(table)];
    return index < t.size() ? &t[index] : nullptr;
}

bool load_catalog(const std::string &path, Catalog &out) {
    std::string shapes, packed;
    if (!read_elf_section(path, ".ks_trace_shapes", shapes) || !read_elf_section(path, ".ks_trace_catalog", packed))
        return false;
    std::istringstream in(shapes);
    std::string magic;
    int version = 0, ntables = 0;
    if (!(in >> magic >> version >> ntables) || magic != "KSTRACE" || version != 1 || ntables <= 0) return false;
    struct Row {
        int table;
        uint32_t index, id, len;
        std::string shape;
    };
    std::vector<Row> rows;
    uint64_t total = 0;
    Row r;
    std::string id_hex;
    while (in >> r.table >> r.index >> id_hex >> r.len >> r.shape) {
        char *end = nullptr;
        unsigned long id = std::strtoul(id_hex.c_str(), &end, 16);
        if (end == id_hex.c_str() || *end != '\0' || id > 0xFFFFFFFFul) return false;
        r.id = static_cast<uint32_t>(id);
        if (r.shape == "-") r.shape.clear();
        if (r.table < 0 || r.table >= ntables || r.len > 0xFFFF) return false;
        total += r.len;
        rows.push_back(r);
    }
    if (!in.eof()) return false;  // a malformed row stopped the reading early
    std::string texts(total, '\0');
    unsigned int dest_len = static_cast<unsigned int>(total);
    if (total > 0 && BZ2_bzBuffToBuffDecompress(texts.data(), &dest_len, packed.data(),
                                                static_cast<unsigned int>(packed.size()), 0, 0) != BZ_OK)
        return false;
    if (dest_len != total) return false;
    Catalog c;
    c.tables.resize(static_cast<size_t>(ntables));
    size_t pos = 0;
    for (const Row &row : rows) {
        auto &t = c.tables[static_cast<size_t>(row.table)];
        if (row.index != t.size()) return false;  // rows come in table and index order
        t.push_back({row.id, row.shape, texts.substr(pos, row.len)});
        pos += row.len;
    }
    c.loaded = true;
    out = std::move(c);
    return true;
}

namespace {

struct Cached {
    std::string path;
    Catalog catalog;
};

constinit std::vector<std::unique_ptr<Cached>> *g_cache = nullptr;

}  // namespace

const Catalog *catalog_for_descriptor(const void *descriptor) {
    std::string path = object_path_of(descriptor);
    if (path.empty()) return nullptr;
    if (g_cache == nullptr) g_cache = new std::vector<std::unique_ptr<Cached>>();  // lives for the process
    for (const auto &c : *g_cache)
        if (c->path == path) return c->catalog.loaded ? &c->catalog : nullptr;
    auto c = std::make_unique<Cached>();
    c->path = path;
    load_catalog(path, c->catalog);
    g_cache->push_back(std::move(c));
    return g_cache->back()->catalog.loaded ? &g_cache->back()->catalog : nullptr;
}

int table_of_descriptor(const void *descriptor) {
    if (descriptor == nullptr) return -1;
    uint16_t table;
    std::memcpy(&table, static_cast<const char *>(descriptor) - 2, sizeof table);
    return table;
}

}  // namespace ksh
