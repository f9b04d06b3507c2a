// The trace tables, the catalogue in the library file, the renderer, the
// live trace output, the binary trace log and the offline decoder. The
// expected texts and renderings are in tests/data/trace_messages.txt.
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
#include "ks_vectors.h"

namespace {

struct Row {
    int table;
    uint32_t index;
    std::string text, rendered;
    kstest::DataRow args;  // "i5", "p0x10", "sTEXT", "n"
    bool packed = false;
};

const std::vector<Row> &rows() {
    static const std::vector<Row> r = [] {
        std::vector<Row> out;
        for (kstest::DataRow d : kstest::read_rows("trace_messages.txt")) {
            Row r{std::stoi(d[0]), static_cast<uint32_t>(std::stoul(d[1])), d[2], d[3] == "=" ? d[2] : d[3], {}};
            r.packed = d.back() == "packed";
            r.args.assign(d.begin() + 4, d.end() - (r.packed ? 1 : 0));
            out.push_back(r);
        }
        return out;
    }();
    return r;
}

// The first row of every message, in table and index order.
std::vector<const Row *> first_rows() {
    std::vector<const Row *> out;
    std::set<std::pair<int, uint32_t>> seen;
    for (const Row &r : rows())
        if (seen.insert({r.table, r.index}).second) out.push_back(&r);
    return out;
}

constexpr size_t kTableSizes[] = {2, 41, 39};
const void *const kDescriptors[] = {KS_TRACE_DESC_FRONT, KS_TRACE_DESC_PAC, KS_TRACE_DESC_SW};

int arg_int(const std::string &a) { return static_cast<int>(std::stoll(a.substr(1), nullptr, 0)); }
const void *arg_ptr(const std::string &a) { return reinterpret_cast<const void *>(std::stoull(a.substr(1), nullptr, 16)); }
const char *arg_str(const std::string &a) { return a == "n" ? nullptr : a.c_str() + 1; }

// Emits a row's message with its sample arguments, as the library would.
void emit(const Row &r) {
    const void *d = kDescriptors[r.table];
    uint16_t mod = trace_module_ids[r.table == 2 ? 3 : 2];
    uint32_t lvl = ks::kLevelDebug;
    const auto &a = r.args;
    if (r.packed) {  // integer, string length, string bytes, integer; native order
        uint32_t n = static_cast<uint32_t>(a[1].size() - 1), size = 12 + n;
        int i0 = arg_int(a[0]), i2 = arg_int(a[2]);
        auto *b = static_cast<unsigned char *>(trace_record_reserve(d, r.index, mod, lvl, size));
        ASSERT_NE(b, nullptr);
        std::memcpy(b, &i0, 4);
        std::memcpy(b + 4, &n, 4);
        std::memcpy(b + 8, arg_str(a[1]), n);
        std::memcpy(b + 8 + n, &i2, 4);
        trace_record_commit(b, size, mod, lvl);
        return;
    }
    std::string shape;
    for (const std::string &x : a) shape += x[0] == 'n' ? 's' : x[0];
    if (shape.empty()) trace_emit(d, r.index, mod, lvl);
    else if (shape == "s") trace_emit(d, r.index, mod, lvl, arg_str(a[0]));
    else if (shape == "i") trace_emit(d, r.index, mod, lvl, arg_int(a[0]));
    else if (shape == "p") trace_emit(d, r.index, mod, lvl, arg_ptr(a[0]));
    else if (shape == "is") trace_emit(d, r.index, mod, lvl, arg_int(a[0]), arg_str(a[1]));
    else if (shape == "pii") trace_emit(d, r.index, mod, lvl, arg_ptr(a[0]), arg_int(a[1]), arg_int(a[2]));
    else if (shape == "pipp")
        trace_emit(d, r.index, mod, lvl, arg_ptr(a[0]), arg_int(a[1]), arg_ptr(a[2]), arg_ptr(a[3]));
    else FAIL() << "no emitter for shape " << shape;
}

std::string render_last() {
    char buf[512];
    size_t n = ksh_trace_count();
    int len = n == 0 ? -1 : ksh_trace_render(ksh_trace_at(n - 1), buf, sizeof buf);
    return len < 0 ? "<not rendered>" : std::string(buf, static_cast<size_t>(len));
}

std::string file_contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class TraceCatalogTest : public kstest::KeystoreTest {};

// Version, number, 16-byte identity, then 6 bytes per message: a message id
// unique across the library and the stored text length with its space.
TEST_F(TraceCatalogTest, TableRecordsGiveVersionNumberAndEntries) {
    const size_t record_sizes[] = {sizeof(ks_trace_table_FRONT), sizeof(ks_trace_table_PAC), sizeof(ks_trace_table_SW)};
    const size_t counts[] = {KS_TR_FRONT_COUNT, KS_TR_PAC_COUNT, KS_TR_SW_COUNT};
    auto firsts = first_rows();
    ASSERT_EQ(firsts.size(), kTableSizes[0] + kTableSizes[1] + kTableSizes[2]);  // the data covers every message
    std::set<uint32_t> ids;
    std::set<std::string> identities;
    for (int t = 0, k = 0; t < 3; ++t) {
        SCOPED_TRACE("table " + std::to_string(t));
        const auto *d = static_cast<const unsigned char *>(kDescriptors[t]);
        uint16_t head[2];
        std::memcpy(head, d - 4, 4);
        EXPECT_EQ(head[0], 1);
        EXPECT_EQ(head[1], t);
        EXPECT_EQ(counts[t], kTableSizes[t]);
        EXPECT_EQ(record_sizes[t], 4 + 16 + 6 * kTableSizes[t]);
        identities.insert(std::string(reinterpret_cast<const char *>(d), 16));
        for (uint32_t i = 0; i < kTableSizes[t]; ++i, ++k) {
            ASSERT_EQ(firsts[k]->table * 100 + firsts[k]->index, t * 100 + i) << "data out of order";
            uint32_t id;
            uint16_t len;
            std::memcpy(&id, d + 16 + 6 * i, 4);
            std::memcpy(&len, d + 16 + 6 * i + 4, 2);
            EXPECT_EQ(len, 1 + firsts[k]->text.size()) << "message " << i;
            EXPECT_TRUE(ids.insert(id).second) << "message id " << id << " used twice";
        }
    }
    EXPECT_EQ(identities.size(), 3u);
}

TEST_F(TraceCatalogTest, EveryMessageRendersAsWritten) {
    for (const Row &r : rows()) {
        SCOPED_TRACE("table " + std::to_string(r.table) + " message " + std::to_string(r.index));
        emit(r);
        EXPECT_EQ(ksh_trace_at(ksh_trace_count() - 1)->packed, r.packed ? 1 : 0);
        EXPECT_EQ(render_last(), r.rendered);
    }
}

// A string argument is copied when the trace is made; the rendering is cut
// to the caller's buffer.
TEST_F(TraceCatalogTest, StringsAreCopiedAtCallTime) {
    char name[16] = "/flash";
    trace_emit(KS_TRACE_DESC_SW, KS_TR_SW_SET_FS, trace_module_ids[3], ks::kLevelDebug, name);
    std::strcpy(name, "/changed");
    EXPECT_EQ(render_last(), "\nKS-SW: Set keystore path to /flash.");
    char buf[8];
    EXPECT_EQ(ksh_trace_render(ksh_trace_at(0), buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "\nKS-SW:");
}

// The catalogue section of the shipped library: not loaded, and holding every
// text behind one space, in table and index order, as one bzip2 stream.
TEST_F(TraceCatalogTest, CatalogueIsOutsideTheLoadedImage) {
    kstest::ElfFile elf;
    ASSERT_TRUE(kstest::read_elf(KS_LIBRARY_FILE, elf));
    const kstest::ElfSection *cat = elf.section(".ks_trace_catalog"), *shapes = elf.section(".ks_trace_shapes");
    ASSERT_TRUE(cat != nullptr && shapes != nullptr);
    std::string loaded;
    for (const auto &seg : elf.segments) {
        if (seg.type != PT_LOAD) continue;
        loaded += elf.image.substr(seg.offset, seg.filesz) + '\0';
        for (const kstest::ElfSection *s : {cat, shapes}) {
            EXPECT_EQ(s->flags & SHF_ALLOC, 0u) << s->name;
            EXPECT_TRUE(s->offset >= seg.offset + seg.filesz || s->offset + s->size <= seg.offset) << s->name;
        }
    }
    std::string expected;
    for (const Row *r : first_rows()) expected += " " + r->text;
    std::string packed = elf.contents(*cat), texts(expected.size() + 64, '\0');
    unsigned int len = static_cast<unsigned int>(texts.size());
    ASSERT_EQ(BZ2_bzBuffToBuffDecompress(texts.data(), &len, packed.data(), static_cast<unsigned int>(packed.size()), 0, 0),
              BZ_OK);
    texts.resize(len);
    EXPECT_EQ(texts, expected);
    // No text, nor a distinctive part of one, is in a loaded segment. (The
    // structured show command formats "Error %s accessing keystore record"
    // and "Unknown type %d" itself: the bare forms are left out.)
    std::vector<std::string> needles = {"Storing in sw keystore", "retreival from keystore failed",
                                        "At write derived shared keys", "Keystore contains the following records"};
    for (const Row *r : first_rows())
        if (r->text.size() >= 10) needles.push_back(r->text);
    for (const std::string &n : needles) EXPECT_EQ(loaded.find(n), std::string::npos) << "loaded: " << n;
}

#ifdef KS_TRACE_DECODER
std::string run(const std::string &args, int &status) {
    std::string out, cmd = std::string(KS_RUN_PREFIX) + " " + KS_TRACE_DECODER + " " + args + " 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    int st = p == nullptr ? -1 : pclose(p);
    status = st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}
#endif

// Every trace printed live as its rendering on one line, and logged in binary
// (the log reopened half way, appending); the decoder turns the log and the
// library file back into exactly the printed text.
TEST_F(TraceCatalogTest, LivePrintBinaryLogAndDecoderAgree) {
    FILE *printed = std::tmpfile();
    ASSERT_NE(printed, nullptr);
    const std::string log = ::testing::TempDir() + "ks_trace_" + std::to_string(getpid()) + ".bin";
    std::remove(log.c_str());
    ksh_trace_set_print_stream(printed);
    ksh_trace_set_print(1);
    std::string expected;
    for (size_t i = 0; i < rows().size(); ++i) {
        if (i % 50 == 0) ksh_trace_set_binary_log(log.c_str());
        emit(rows()[i]);
        expected += rows()[i].rendered + "\n";
        if (i % 50 == 49) ksh_trace_set_binary_log(nullptr);
    }
    ASSERT_EQ(ksh_trace_set_binary_log(nullptr), 0);
    ksh_trace_set_print(0);
    trace_emit(KS_TRACE_DESC_SW, KS_TR_SW_SHOW_EMPTY, trace_module_ids[3], ks::kLevelDebug);  // not printed
    ksh_trace_set_print_stream(nullptr);
    std::rewind(printed);
    std::string live;
    for (int c; (c = std::fgetc(printed)) != EOF;) live += static_cast<char>(c);
    std::fclose(printed);
    EXPECT_EQ(live, expected);
    EXPECT_EQ(ksh_trace_set_binary_log("/nonexistent-dir/trace.bin"), -1);
#ifdef KS_TRACE_DECODER
    int status = 0;
    const std::string lib = std::string(" '") + KS_LIBRARY_FILE + "'";
    EXPECT_EQ(run("'" + log + "'" + lib, status), live);
    EXPECT_EQ(status, 0);
    // A log cut inside a record prints what came before and fails; so do a
    // file that is no log and a library file without a catalogue.
    std::string f = file_contents(log);
    std::ofstream(log, std::ios::binary | std::ios::trunc) << f.substr(0, f.size() - 3);
    std::string partial = run("'" + log + "'" + lib, status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(live.compare(0, partial.size(), partial), 0);
    run(lib + lib, status);
    EXPECT_EQ(status, 2);
    run("'" + log + "' '" + KS_TRACE_DECODER + "'", status);
    EXPECT_EQ(status, 2);
#endif
    std::remove(log.c_str());
}

}  // namespace
