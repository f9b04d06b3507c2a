// The trace tables, the catalogue in the library file, the renderer, the
// live trace output, the binary trace log and the offline decoder.
//
// The expected texts are typed here on their own, not read from the message
// lists, so that a slip in either shows up.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "elf_file.h"
#include "keystore_host/host.h"
#include "ks_test_util.h"
#include "ks_trace.h"
#include "ks_trace_tables.h"

namespace {

struct Arg {
    char kind;
    int i = 0;
    const void *p = nullptr;
    const char *s = nullptr;
};
Arg I(int v) { return {'i', v, nullptr, nullptr}; }
Arg P(uintptr_t v) { return {'p', 0, reinterpret_cast<const void *>(v), nullptr}; }
Arg S(const char *v) { return {'s', 0, nullptr, v}; }

struct Row {
    int table;
    uint32_t index;
    const char *text;            // the message text
    std::vector<Arg> args;       // sample arguments
    const char *rendered;        // expected rendering; null: the text itself
    bool packed = false;         // emitted through reserve/commit
};

// Every message of every table, in table and index order; a message may come
// back with other sample arguments further down.
const std::vector<Row> kRows = {
    {0, 0, "%s Storing in sw keystore\n", {S("KEYSTORE_DBG")}, "KEYSTORE_DBG Storing in sw keystore\n"},
    {0, 1, "%s:ORB_KEYSTORE-Setting use sw for keystore to true\n", {S("KEYSTORE_DBG")},
     "KEYSTORE_DBG:ORB_KEYSTORE-Setting use sw for keystore to true\n"},

    {1, 0, "\nKEYSTORE: Multiple Infos present in PAC metadata.", {}, nullptr},
    {1, 1, "\nKEYSTORE: Bad TLV length in PAC-Info meta data.", {}, nullptr},
    {1, 2, "\nKEYSTORE: Multiple Opaques present in PAC metadata.", {}, nullptr},
    {1, 3, "\nKEYSTORE: Bad TLV length in PAC-opaque meta data.", {}, nullptr},
    {1, 4, "\nKEYSTORE: Unknown PAC TLV type in meta data.", {}, nullptr},
    {1, 5, "\nKEYSTORE: Incomplete PAC metadata received from keystore.", {}, nullptr},
    {1, 6, "\nKEYSTORE: PAC metadata retrieval from keystore failed, status %d.", {I(5)},
     "\nKEYSTORE: PAC metadata retrieval from keystore failed, status 5."},
    {1, 7,
     "PAC opaque retreival from keystore failed. Invalid args(aid(%p), aid_len(%d), opaquep(%p), opaque_lenp(%p))",
     {P(0x1000), I(32), P(0), P(0xbeef)},
     "PAC opaque retreival from keystore failed. Invalid args(aid(0x1000), aid_len(32), opaquep((nil)), "
     "opaque_lenp(0xbeef))"},
    {1, 8, "PAC info retreival from keystore failed.Invalid args(aid(%p), aid_len(%d)), infop(%p), info_lenp(%p)",
     {P(0x20), I(-1), P(0x30), P(0x40)},
     "PAC info retreival from keystore failed.Invalid args(aid(0x20), aid_len(-1)), infop(0x30), info_lenp(0x40)"},
    {1, 9, "Fetching cached PAC opaque from keystore failed.", {}, nullptr},
    {1, 10, "Fetching cached PAC info from keystore failed.", {}, nullptr},
    {1, 11, "Malloc failed for PAC Opaque", {}, nullptr},
    {1, 12, "Malloc failed for PAC info", {}, nullptr},
    {1, 13, "\nKEYSTORE: PAC derived key found in cache \n", {}, nullptr},
    {1, 14, "\nKEYSTORE: Pac derived secret returned from cache.", {}, nullptr},
    {1, 15, "\nKEYSTORE:  Found in Cache output_len=%d output=", {I(20)},
     "\nKEYSTORE:  Found in Cache output_len=20 output="},
    {1, 16, "\nKEYSTORE: PAC key NOT found in cache \n", {}, nullptr},
    {1, 17, "\nKEYSTORE:  Generated secret with ret= %d\n", {I(1)}, "\nKEYSTORE:  Generated secret with ret= 1\n"},
    {1, 18, "\nKEYSTORE: output_len=%d output=", {I(64)}, "\nKEYSTORE: output_len=64 output="},
    {1, 19, "\nKEYSTORE: %2X,", {I(0x0A)}, "\nKEYSTORE:  A,"},
    {1, 20, "\nKEYSTORE: Writing the ss to cache - %d \n", {I(16)}, "\nKEYSTORE: Writing the ss to cache - 16 \n"},
    {1, 21, "0x%2X", {I(7)}, "0x 7"},
    {1, 22, "\n", {}, nullptr},
    {1, 23, "\nKEYSTORE: PAC derived MACK returned from cache.", {}, nullptr},
    {1, 24, "\nKEYSTORE: PAC derived KEK returned from cache.", {}, nullptr},
    {1, 25, "\nKEYSTORE: No shared keys exist in cache.", {}, nullptr},
    {1, 26, "\nKEYSTORE: Shared keys returned from cache", {}, nullptr},
    {1, 27, "\nKEYSTORE: label_len(%d) label(%s) output_len(%d) output=", {I(8), S("ZAV-MACK"), I(32)},
     "\nKEYSTORE: label_len(8) label(ZAV-MACK) output_len(32) output=", true},
    {1, 28, "\nKEYSTORE: %02x", {I(0x0B)}, "\nKEYSTORE: 0b"},
    {1, 29, "\nKEYSTORE: \n", {}, nullptr},
    {1, 30, "\nKEYSTORE: \ndevice-id-len(%d) device-id=%s", {I(6), S("dev-01")},
     "\nKEYSTORE: \ndevice-id-len(6) device-id=dev-01"},
    {1, 31, "\nKEYSTORE: \naid_len(%d) aid=", {I(3)}, "\nKEYSTORE: \naid_len(3) aid="},
    {1, 32, "\nKEYSTORE: %2x", {I(0x0C)}, "\nKEYSTORE:  c"},
    {1, 33, "\nKEYSTORE: \nlabel_len(%d) label(%s) output_len(%d) output=", {I(7), S("ZAV-KEK"), I(20)},
     "\nKEYSTORE: \nlabel_len(7) label(ZAV-KEK) output_len(20) output=", true},
    {1, 34, "\nKEYSTORE: %02x", {I(0xFF)}, "\nKEYSTORE: ff"},
    {1, 35, "\nKEYSTORE: \n", {}, nullptr},
    {1, 36, "\nKEYSTORE: At write derived shared keys : Failed to populate cache", {}, nullptr},
    {1, 37, "\nKEYSTORE: At write derived shared keys : Found and populate cache(%p)", {P(0xabc0)},
     "\nKEYSTORE: At write derived shared keys : Found and populate cache(0xabc0)"},
    {1, 38, "\nKEYSTORE: At write derived shared keys : No matching label", {}, nullptr},
    {1, 39, "\nKEYSTORE: PAC metadata retrieval from hw keystore failed, status %d.", {I(18)},
     "\nKEYSTORE: PAC metadata retrieval from hw keystore failed, status 18."},
    {1, 40, "\nKS-HA: At clear PAC all from Active, notif sent to stdby ", {}, nullptr},

    {2, 0, "\nKS-SW: Set keystore path to %s.", {S("/bootflash")}, "\nKS-SW: Set keystore path to /bootflash."},
    {2, 1, "\nKS-SW: showmsg_get_message returned %d error", {I(-3)},
     "\nKS-SW: showmsg_get_message returned -3 error"},
    {2, 2, "\nKS-SW: showmsg_set_use_sw_ks returned %d error", {I(2)},
     "\nKS-SW: showmsg_set_use_sw_ks returned 2 error"},
    {2, 3, "\nKS-SW: \nHardware keystore not supported\n", {}, nullptr},
    {2, 4, "\nKS-SW: showmsg_set_is_hw_ks returned %d error", {I(4)}, "\nKS-SW: showmsg_set_is_hw_ks returned 4 error"},
    {2, 5, "\nKS-SW: \nPrinting the software keystore details\n", {}, nullptr},
    {2, 6, "\nKS-SW: showmsg_set_is_empty returned %d error", {I(6)}, "\nKS-SW: showmsg_set_is_empty returned 6 error"},
    {2, 7, "\nKS-SW: \nshowmsg_elem_create returned NULL allocation\n", {}, nullptr},
    {2, 8, "\nKS-SW: \nshowmsg_elem_set_index failed with error %d\n", {I(8)},
     "\nKS-SW: \nshowmsg_elem_set_index failed with error 8\n"},
    {2, 9, "\nKS-SW: \nshowmsg_elem_get_value failed with error %d\n", {I(9)},
     "\nKS-SW: \nshowmsg_elem_get_value failed with error 9\n"},
    {2, 10, "\nKS-SW: \nshowmsg_elem_set_valid failed with error %d\n", {I(10)},
     "\nKS-SW: \nshowmsg_elem_set_valid failed with error 10\n"},
    {2, 11, "\nKS-SW: \nhp=%p, hp[0]=%d, hlen=%d\n", {P(0x5000), I(2), I(9)}, "\nKS-SW: \nhp=0x5000, hp[0]=2, hlen=9\n"},
    {2, 12, "\nKS-SW: showmsg_elem_set_type returned %d error", {I(12)},
     "\nKS-SW: showmsg_elem_set_type returned 12 error"},
    {2, 13, "\nKS-SW: \nvstring_assign failed with error %d\n", {I(13)},
     "\nKS-SW: \nvstring_assign failed with error 13\n"},
    {2, 14, "\nKS-SW: showmsg_elem_set_type returned %d error", {I(14)},
     "\nKS-SW: showmsg_elem_set_type returned 14 error"},
    {2, 15, "\nKS-SW: \nvstring_assign failed with error %d\n", {I(15)},
     "\nKS-SW: \nvstring_assign failed with error 15\n"},
    {2, 16, "\nKS-SW: \nshowmsg_elem_set_valid failed with error %d\n", {I(16)},
     "\nKS-SW: \nshowmsg_elem_set_valid failed with error 16\n"},
    {2, 17, "\nKS-SW: \nvstring_assign failed with error %d\n", {I(17)},
     "\nKS-SW: \nvstring_assign failed with error 17\n"},
    {2, 18, "\nKS-SW: \nshowmsg_elem_set_valid failed with error %d\n", {I(18)},
     "\nKS-SW: \nshowmsg_elem_set_valid failed with error 18\n"},
    {2, 19, "\nKS-SW: \nvstring_assign failed with error %d\n", {I(19)},
     "\nKS-SW: \nvstring_assign failed with error 19\n"},
    {2, 20, "\nKS-SW: \nHardware keystore not supported\n", {}, nullptr},
    {2, 21, "\nKS-SW: \nshowmsg_list_append failed with error %d\n", {I(21)},
     "\nKS-SW: \nshowmsg_list_append failed with error 21\n"},
    {2, 22, "\nKS-SW: \nCounters are related to hardware keystore. Not supported\n", {}, nullptr},
    {2, 23, "\nKS-SW: Using software keystore emulation.", {}, nullptr},
    {2, 24, "\nKS-SW: ZAV keystore firmware version 2.0.", {}, nullptr},
    {2, 25, "\nKS-SW: No keystore available.", {}, nullptr},
    {2, 26, "\nKS-SW: Keystore contains the following records (S=Simple Secret, P=PAC, R=RSA):", {}, nullptr},
    {2, 27, "\nKS-SW: Index  Type  Name", {}, nullptr},
    {2, 28, "\nKS-SW: -----  ----  ----", {}, nullptr},
    {2, 29, "\nKS-SW: Keystore is empty.", {}, nullptr},
    {2, 30, "\nKS-SW: %-5d  ", {I(7)}, "\nKS-SW: 7      "},
    {2, 31, "\nKS-SW:    S  ", {}, nullptr},
    {2, 32, "\nKS-SW: %c", {I('a')}, "\nKS-SW: a"},
    {2, 33, "\nKS-SW: %c", {I(10)}, "\nKS-SW: \n"},
    {2, 34, "\nKS-SW:    P  ", {}, nullptr},
    {2, 35, "\nKS-SW: %02X", {I(0x0A)}, "\nKS-SW: 0A"},
    {2, 36, "\nKS-SW: %c", {I(10)}, "\nKS-SW: \n"},
    {2, 37, "\nKS-SW: Unknown type %d", {I(84)}, "\nKS-SW: Unknown type 84"},
    {2, 38, "\nKS-SW: Error %s accessing keystore record", {S("NO_MEMORY")},
     "\nKS-SW: Error NO_MEMORY accessing keystore record"},

    // Other values through the same conversions: widths, padding, signs.
    {1, 19, "\nKEYSTORE: %2X,", {I(0xAB)}, "\nKEYSTORE: AB,"},
    {1, 21, "0x%2X", {I(0xFF)}, "0xFF"},
    {1, 32, "\nKEYSTORE: %2x", {I(0xAB)}, "\nKEYSTORE: ab"},
    {2, 30, "\nKS-SW: %-5d  ", {I(12345)}, "\nKS-SW: 12345  "},
    {2, 30, "\nKS-SW: %-5d  ", {I(-12)}, "\nKS-SW: -12    "},
    {2, 30, "\nKS-SW: %-5d  ", {I(123456)}, "\nKS-SW: 123456  "},
    {2, 35, "\nKS-SW: %02X", {I(0xC3)}, "\nKS-SW: C3"},
    {1, 27, "\nKEYSTORE: label_len(%d) label(%s) output_len(%d) output=", {I(0), S(""), I(0)},
     "\nKEYSTORE: label_len(0) label() output_len(0) output=", true},
    {1, 30, "\nKEYSTORE: \ndevice-id-len(%d) device-id=%s", {I(0), S(nullptr)},
     "\nKEYSTORE: \ndevice-id-len(0) device-id=(null)"},
};

constexpr size_t kTableSizes[] = {2, 41, 39};

const void *descriptor_of(int table) {
    switch (table) {
        case 0: return KS_TRACE_DESC_FRONT;
        case 1: return KS_TRACE_DESC_PAC;
        default: return KS_TRACE_DESC_SW;
    }
}

// The record layout of a reserve/commit trace: integer, string length, string
// bytes, integer; packed, native order.
void emit_packed(const Row &r) {
    uint32_t n = static_cast<uint32_t>(std::strlen(r.args[1].s));
    uint32_t size = 12 + n;
    void *rec = trace_record_reserve(descriptor_of(r.table), r.index, trace_module_ids[2], ks::kLevelDebug, size);
    ASSERT_NE(rec, nullptr);
    auto *b = static_cast<unsigned char *>(rec);
    std::memcpy(b, &r.args[0].i, 4);
    std::memcpy(b + 4, &n, 4);
    std::memcpy(b + 8, r.args[1].s, n);
    std::memcpy(b + 8 + n, &r.args[2].i, 4);
    trace_record_commit(rec, size, trace_module_ids[2], ks::kLevelDebug);
}

// Emits a row's message with its sample arguments, as the library would.
void emit(const Row &r) {
    if (r.packed) {
        emit_packed(r);
        return;
    }
    const void *d = descriptor_of(r.table);
    uint16_t mod = trace_module_ids[r.table == 2 ? 3 : 2];
    uint32_t lvl = ks::kLevelDebug;
    std::string shape;
    for (const Arg &a : r.args) shape += a.kind;
    const auto &a = r.args;
    if (shape.empty()) trace_emit(d, r.index, mod, lvl);
    else if (shape == "s") trace_emit(d, r.index, mod, lvl, a[0].s);
    else if (shape == "i") trace_emit(d, r.index, mod, lvl, a[0].i);
    else if (shape == "p") trace_emit(d, r.index, mod, lvl, a[0].p);
    else if (shape == "is") trace_emit(d, r.index, mod, lvl, a[0].i, a[1].s);
    else if (shape == "pii") trace_emit(d, r.index, mod, lvl, a[0].p, a[1].i, a[2].i);
    else if (shape == "pipp") trace_emit(d, r.index, mod, lvl, a[0].p, a[1].i, a[2].p, a[3].p);
    else FAIL() << "no emitter for shape " << shape;
}

std::string expected_rendering(const Row &r) { return r.rendered != nullptr ? r.rendered : r.text; }

std::string render_last() {
    size_t n = ksh_trace_count();
    EXPECT_GT(n, 0u);
    if (n == 0) return "<no trace>";
    char buf[512];
    int len = ksh_trace_render(ksh_trace_at(n - 1), buf, sizeof buf);
    if (len < 0) return "<not rendered>";
    return std::string(buf, static_cast<size_t>(len));
}

std::string file_contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string stream_contents(FILE *f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

// The first row of every message, in table and index order.
std::vector<const Row *> first_rows() {
    std::vector<const Row *> out;
    std::set<std::pair<int, uint32_t>> seen;
    for (const Row &r : kRows)
        if (seen.insert({r.table, r.index}).second) out.push_back(&r);
    return out;
}

class TraceCatalogTest : public kstest::KeystoreTest {};

TEST_F(TraceCatalogTest, RowsCoverEveryMessageOnceWithOneText) {
    auto firsts = first_rows();
    ASSERT_EQ(firsts.size(), kTableSizes[0] + kTableSizes[1] + kTableSizes[2]);
    size_t k = 0;
    for (int t = 0; t < 3; ++t)
        for (uint32_t i = 0; i < kTableSizes[t]; ++i, ++k) {
            ASSERT_EQ(firsts[k]->table, t);
            ASSERT_EQ(firsts[k]->index, i);
        }
    for (const Row &r : kRows)
        for (const Row *f : firsts)
            if (f->table == r.table && f->index == r.index) {
                EXPECT_STREQ(r.text, f->text);
            }
}

TEST_F(TraceCatalogTest, TableRecordsGiveVersionNumberAndEntries) {
    struct Table {
        const void *desc;
        size_t record_size;
        size_t count;
    } tables[] = {
        {KS_TRACE_DESC_FRONT, sizeof(ks_trace_table_FRONT), KS_TR_FRONT_COUNT},
        {KS_TRACE_DESC_PAC, sizeof(ks_trace_table_PAC), KS_TR_PAC_COUNT},
        {KS_TRACE_DESC_SW, sizeof(ks_trace_table_SW), KS_TR_SW_COUNT},
    };
    std::set<uint32_t> ids;
    std::set<std::string> identities;
    for (int t = 0; t < 3; ++t) {
        SCOPED_TRACE("table " + std::to_string(t));
        const auto *d = static_cast<const unsigned char *>(tables[t].desc);
        uint16_t version, number;
        std::memcpy(&version, d - 4, 2);
        std::memcpy(&number, d - 2, 2);
        EXPECT_EQ(version, 1);
        EXPECT_EQ(number, t);
        // Version, number, 16-byte identity, 6 bytes per message, nothing else.
        EXPECT_EQ(tables[t].count, kTableSizes[t]);
        EXPECT_EQ(tables[t].record_size, 4 + 16 + 6 * kTableSizes[t]);
        identities.insert(std::string(reinterpret_cast<const char *>(d), 16));
        for (const Row *r : first_rows()) {
            if (r->table != t) continue;
            uint32_t id;
            uint16_t len;
            std::memcpy(&id, d + 16 + 6 * r->index, 4);
            std::memcpy(&len, d + 16 + 6 * r->index + 4, 2);
            EXPECT_EQ(len, 1 + std::strlen(r->text)) << "message " << r->index;
            EXPECT_TRUE(ids.insert(id).second) << "message id " << id << " used twice";
        }
    }
    EXPECT_EQ(identities.size(), 3u);
    EXPECT_EQ(static_cast<const void *>(&ks_trace_table_sw.entries[38]),
              static_cast<const void *>(static_cast<const char *>(KS_TRACE_DESC_SW) + 16 + 228));
}

TEST_F(TraceCatalogTest, EveryMessageRendersAsWritten) {
    for (const Row &r : kRows) {
        SCOPED_TRACE("table " + std::to_string(r.table) + " message " + std::to_string(r.index));
        emit(r);
        EXPECT_EQ(ksh_trace_at(ksh_trace_count() - 1)->packed, r.packed ? 1 : 0);
        EXPECT_EQ(render_last(), expected_rendering(r));
    }
}

TEST_F(TraceCatalogTest, StringArgumentsAreCopiedAtCallTime) {
    char buf[16] = "/flash";
    trace_emit(KS_TRACE_DESC_SW, KS_TR_SW_SET_FS, trace_module_ids[3], ks::kLevelDebug, buf);
    std::strcpy(buf, "/changed");
    EXPECT_EQ(render_last(), "\nKS-SW: Set keystore path to /flash.");
}

TEST_F(TraceCatalogTest, RenderCutsAndRefuses) {
    trace_emit(KS_TRACE_DESC_SW, KS_TR_SW_SHOW_EMPTY, trace_module_ids[3], ks::kLevelDebug);
    const ksh_trace_record *rec = ksh_trace_at(0);
    char buf[8];
    EXPECT_EQ(ksh_trace_render(rec, buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "\nKS-SW:");
    EXPECT_EQ(ksh_trace_render(rec, buf, 1), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ksh_trace_render(rec, buf, 0), -1);
    EXPECT_EQ(ksh_trace_render(nullptr, buf, sizeof buf), -1);

    // An index past the table, and a packed record too short for its text.
    trace_emit(KS_TRACE_DESC_FRONT, 2, trace_module_ids[2], ks::kLevelDebug);
    EXPECT_EQ(ksh_trace_render(ksh_trace_at(1), buf, sizeof buf), -1);
    void *p = trace_record_reserve(KS_TRACE_DESC_PAC, KS_TR_PAC_SK_HIT_LABEL, trace_module_ids[2],
                                   ks::kLevelDebug, 6);
    ASSERT_NE(p, nullptr);
    std::memset(p, 0, 6);
    trace_record_commit(p, 6, trace_module_ids[2], ks::kLevelDebug);
    EXPECT_EQ(ksh_trace_render(ksh_trace_at(2), buf, sizeof buf), -1);
}

// The catalogue section of the shipped library: not loaded, and holding every
// text behind one space, in table and index order, as one bzip2 stream.
TEST_F(TraceCatalogTest, CatalogueIsOutsideTheLoadedImage) {
    kstest::ElfFile elf;
    ASSERT_TRUE(kstest::read_elf(KS_LIBRARY_FILE, elf));
    const kstest::ElfSection *cat = elf.section(".ks_trace_catalog");
    const kstest::ElfSection *shapes = elf.section(".ks_trace_shapes");
    ASSERT_NE(cat, nullptr);
    ASSERT_NE(shapes, nullptr);
    for (const kstest::ElfSection *s : {cat, shapes}) {
        EXPECT_EQ(s->flags & SHF_ALLOC, 0u) << s->name;
        for (const auto &seg : elf.segments)
            if (seg.type == PT_LOAD) {
                EXPECT_TRUE(s->offset >= seg.offset + seg.filesz || s->offset + s->size <= seg.offset) << s->name;
            }
    }

    std::string expected;
    for (const Row *r : first_rows()) expected += std::string(" ") + r->text;
    std::string packed = elf.contents(*cat);
    std::string texts(expected.size() + 64, '\0');
    unsigned int len = static_cast<unsigned int>(texts.size());
    ASSERT_EQ(BZ2_bzBuffToBuffDecompress(texts.data(), &len, packed.data(), static_cast<unsigned int>(packed.size()),
                                         0, 0),
              BZ_OK);
    texts.resize(len);
    EXPECT_EQ(texts, expected);

    // No text of any length that could not occur by chance is in a loaded
    // segment. (The structured show command formats "Error %s accessing
    // keystore record" and "Unknown type %d" itself: the bare forms without
    // the trace prefix are left out.)
    std::string loaded;
    for (const auto &seg : elf.segments)
        if (seg.type == PT_LOAD) loaded += elf.image.substr(seg.offset, seg.filesz) + '\0';
    std::vector<std::string> needles = {"Storing in sw keystore", "ORB_KEYSTORE-Setting use sw",
                                        "retreival from keystore failed", "At write derived shared keys",
                                        "Found in Cache output_len", "Keystore contains the following records",
                                        "notif sent to stdby", "Counters are related to hardware keystore"};
    for (const Row *r : first_rows())
        if (std::strlen(r->text) >= 10) needles.push_back(r->text);
    for (const std::string &n : needles) {
        EXPECT_NE(texts.find(n), std::string::npos) << n;
        EXPECT_EQ(loaded.find(n), std::string::npos) << "loaded: " << n;
    }
}

// Live printing and the binary log of the same traces; the decoder turns the
// log and the library file back into exactly the printed text.
class TraceOutputTest : public kstest::KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        printed_ = std::tmpfile();
        ASSERT_NE(printed_, nullptr);
        // ctest runs tests in parallel processes: one file per process and test.
        log_path_ = ::testing::TempDir() + "ks_trace_" + std::to_string(getpid()) + "_" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin";
        std::remove(log_path_.c_str());
    }
    void TearDown() override {
        ksh_trace_set_print(0);
        ksh_trace_set_print_stream(nullptr);
        ksh_trace_set_binary_log(nullptr);
        if (printed_ != nullptr) std::fclose(printed_);
        std::remove(log_path_.c_str());
        KeystoreTest::TearDown();
    }
    FILE *printed_ = nullptr;
    std::string log_path_;
};

TEST_F(TraceOutputTest, PrintsEachTraceAsOneRenderedLine) {
    ksh_trace_set_print_stream(printed_);
    ksh_trace_set_print(1);
    std::string expected;
    for (const Row &r : kRows) {
        emit(r);
        expected += expected_rendering(r) + "\n";
    }
    ksh_trace_set_print(0);
    trace_emit(KS_TRACE_DESC_SW, KS_TR_SW_SHOW_EMPTY, trace_module_ids[3], ks::kLevelDebug);  // not printed
    EXPECT_EQ(stream_contents(printed_), expected);
}

TEST_F(TraceOutputTest, BinaryLogFollowsItsDocumentedLayout) {
    ASSERT_EQ(ksh_trace_set_binary_log(log_path_.c_str()), 0);
    trace_emit(KS_TRACE_DESC_SW, KS_TR_SW_QEL_HANDLE, 0x103, 0x7000000, reinterpret_cast<const void *>(0x5000), 2, 9);
    ASSERT_EQ(ksh_trace_set_binary_log(nullptr), 0);
    std::string f = file_contents(log_path_);
    auto u16 = [&](size_t o) { return static_cast<unsigned>(uint8_t(f[o]) | uint8_t(f[o + 1]) << 8); };
    auto u32 = [&](size_t o) { return u16(o) | u16(o + 2) << 16; };
    ASSERT_EQ(f.size(), 8u + 4 + 20 + 9 + 5 + 5);
    EXPECT_EQ(f.substr(0, 4), "KSTB");
    EXPECT_EQ(u16(4), 1u);
    EXPECT_EQ(u32(8), 20u + 9 + 5 + 5);
    EXPECT_EQ(u16(12), 2u);                                       // table
    EXPECT_EQ(u16(14), 0u);                                       // flags
    EXPECT_EQ(u32(16), 11u);                                      // index
    uint32_t id;
    std::memcpy(&id, static_cast<const char *>(KS_TRACE_DESC_SW) + 16 + 6 * 11, 4);
    EXPECT_EQ(u32(20), id);                                       // message id
    EXPECT_EQ(u16(24), 0x103u);                                   // module
    EXPECT_EQ(u16(26), 3u);                                       // arguments
    EXPECT_EQ(u32(28), 0x7000000u);                               // level
    EXPECT_EQ(f[32], 'p');
    EXPECT_EQ(u32(33), 0x5000u);
    EXPECT_EQ(u32(37), 0u);
    EXPECT_EQ(f[41], 'i');
    EXPECT_EQ(u32(42), 2u);
    EXPECT_EQ(f[46], 'i');
    EXPECT_EQ(u32(47), 9u);

    // Opening the same file again appends records without a second header.
    ASSERT_EQ(ksh_trace_set_binary_log(log_path_.c_str()), 0);
    trace_emit(KS_TRACE_DESC_SW, KS_TR_SW_SHOW_EMPTY, 0x103, 0x7000000);
    ASSERT_EQ(ksh_trace_set_binary_log(nullptr), 0);
    EXPECT_EQ(file_contents(log_path_).size(), f.size() + 4 + 20);
    EXPECT_EQ(ksh_trace_set_binary_log("/nonexistent-dir/trace.bin"), -1);
}

#ifdef KS_TRACE_DECODER
// The decoder as a command line (through the emulator when cross-compiled).
const std::string kDecoder = std::string(KS_RUN_PREFIX) + " " + KS_TRACE_DECODER;

std::string run(const std::string &cmd, int &status) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

TEST_F(TraceOutputTest, DecoderReproducesThePrintedText) {
    ksh_trace_set_print_stream(printed_);
    ksh_trace_set_print(1);
    ASSERT_EQ(ksh_trace_set_binary_log(log_path_.c_str()), 0);
    for (const Row &r : kRows) emit(r);
    char name[] = "changes after the call";
    trace_emit(KS_TRACE_DESC_SW, KS_TR_SW_SET_FS, trace_module_ids[3], ks::kLevelDebug, name);
    std::strcpy(name, "xx");
    trace_emit(KS_TRACE_DESC_SW, KS_TR_SW_SHOW_NAME_CHAR, trace_module_ids[3], ks::kLevelDebug, 0);  // a NUL byte
    ASSERT_EQ(ksh_trace_set_binary_log(nullptr), 0);
    std::string live = stream_contents(printed_);
    ASSERT_FALSE(live.empty());

    int status = 0;
    std::string decoded =
        run(kDecoder + " '" + log_path_ + "' '" + KS_LIBRARY_FILE + "'", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(decoded, live);

    // A log cut inside a record prints what came before and fails.
    std::string f = file_contents(log_path_);
    std::ofstream(log_path_, std::ios::binary | std::ios::trunc) << f.substr(0, f.size() - 3);
    std::string partial = run(kDecoder + " '" + log_path_ + "' '" + KS_LIBRARY_FILE + "' 2>/dev/null", status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(live.compare(0, partial.size(), partial), 0);
    // A file that is no log, and a library file without a catalogue.
    run(kDecoder + " '" + KS_LIBRARY_FILE + "' '" + KS_LIBRARY_FILE + "' 2>/dev/null", status);
    EXPECT_EQ(status, 2);
    run(kDecoder + " '" + log_path_ + "' '" + KS_TRACE_DECODER + "' 2>/dev/null", status);
    EXPECT_EQ(status, 2);
}
#endif

}  // namespace
