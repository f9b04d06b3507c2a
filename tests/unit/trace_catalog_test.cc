// The trace tables and the catalogue in the library file, every message's
// rendering (tests/data/trace_messages.txt), and the binary trace log with
// the offline decoder. (The ctest trace.env_roundtrip also runs the first
// test with the environment switches on, and decodes what it logged.)
#include <bzlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "elf_file.h"
#include "ks_test_util.h"
#include "ks_trace.h"
#include "ks_vectors.h"

namespace kstest {
namespace {

struct Row {
    int table;
    uint32_t index;
    std::string text, rendered;
    DataRow args;  // "i5", "p0x10", "sTEXT", "n" (a null string)
    bool packed;
};

const std::vector<Row> &rows() {
    static const std::vector<Row> r = [] {
        std::vector<Row> out;
        for (const DataRow &d : read_rows("trace_messages.txt")) {
            const bool packed = d.back() == "packed";
            out.push_back({std::stoi(d[0]), uint32_t(std::stoul(d[1])), d[2], d[3] == "=" ? d[2] : d[3],
                           DataRow(d.begin() + 4, d.end() - packed), packed});
        }
        return out;
    }();
    return r;
}

const void *const kDescriptors[] = {KS_TRACE_DESC_FRONT, KS_TRACE_DESC_PAC, KS_TRACE_DESC_SW};
int I(const std::string &a) { return int(std::stoll(a.substr(1), nullptr, 0)); }
const void *P(const std::string &a) { return reinterpret_cast<const void *>(std::stoull(a.substr(1), nullptr, 16)); }
const char *S(const std::string &a) { return a == "n" ? nullptr : a.c_str() + 1; }

// Emits a row's message with its sample arguments, as the library would.
void emit(const Row &r) {
    const void *d = kDescriptors[r.table];
    const uint16_t mod = trace_module_ids[r.table == 2 ? 3 : 2];
    const uint32_t lvl = ks::kLevelDebug;
    const DataRow &a = r.args;
    if (r.packed) {  // integer, string length, string bytes, integer; native order
        const uint32_t n = uint32_t(a[1].size() - 1), size = 12 + n;
        const int i0 = I(a[0]), i2 = I(a[2]);
        auto *b = static_cast<unsigned char *>(trace_record_reserve(d, r.index, mod, lvl, size));
        std::memcpy(b, &i0, 4), std::memcpy(b + 4, &n, 4), std::memcpy(b + 8, S(a[1]), n), std::memcpy(b + 8 + n, &i2, 4);
        return trace_record_commit(b, size, mod, lvl);
    }
    std::string shape;
    for (const std::string &x : a) shape += x[0] == 'n' ? 's' : x[0];
    if (shape.empty()) trace_emit(d, r.index, mod, lvl);
    else if (shape == "s") trace_emit(d, r.index, mod, lvl, S(a[0]));
    else if (shape == "i") trace_emit(d, r.index, mod, lvl, I(a[0]));
    else if (shape == "p") trace_emit(d, r.index, mod, lvl, P(a[0]));
    else if (shape == "is") trace_emit(d, r.index, mod, lvl, I(a[0]), S(a[1]));
    else if (shape == "pii") trace_emit(d, r.index, mod, lvl, P(a[0]), I(a[1]), I(a[2]));
    else if (shape == "pipp") trace_emit(d, r.index, mod, lvl, P(a[0]), I(a[1]), P(a[2]), P(a[3]));
    else ADD_FAILURE() << "no emitter for shape " << shape;
}

std::string render_last(size_t room = 512) {
    std::string s(room, '\0');
    const int n = ksh_trace_count() ? ksh_trace_render(ksh_trace_at(ksh_trace_count() - 1), s.data(), room) : -1;
    return n < 0 ? "<not rendered>" : s.substr(0, size_t(n));
}

class TraceCatalogTest : public KeystoreTest {};

// A string argument is copied when the trace is made; a rendering is cut to
// the caller's buffer.
TEST_F(TraceCatalogTest, EveryMessageRendersAsWritten) {
    for (const Row &r : rows()) {
        emit(r);
        EXPECT_EQ(ksh_trace_at(ksh_trace_count() - 1)->packed, r.packed) << r.table << "." << r.index;
        EXPECT_EQ(render_last(), r.rendered) << r.table << "." << r.index;
    }
    char name[16] = "/flash";
    trace_emit(KS_TRACE_DESC_SW, KS_TR_SW_SET_FS, trace_module_ids[3], ks::kLevelDebug, name);
    std::strcpy(name, "/changed");
    EXPECT_EQ(render_last(), "\nKS-SW: Set keystore path to /flash.");
    EXPECT_EQ(render_last(8), "\nKS-SW:");
}

// Each table: version, number, a 16-byte identity, then per message an id
// unique in the library and its stored text's length with the space before
// it. The catalogue section holds the texts behind one space each, in table
// and index order, as one bzip2 stream, outside every loaded segment; no
// text is in a loaded one.
TEST_F(TraceCatalogTest, TablesAndTheCatalogueOutsideTheLoadedImage) {
    std::vector<const Row *> firsts;  // the first row of each message, in order
    std::set<std::pair<int, uint32_t>> seen;
    for (const Row &r : rows()) if (seen.insert({r.table, r.index}).second) firsts.push_back(&r);
    const size_t counts[] = {KS_TR_FRONT_COUNT, KS_TR_PAC_COUNT, KS_TR_SW_COUNT};
    const size_t sizes[] = {sizeof(ks_trace_table_FRONT), sizeof(ks_trace_table_PAC), sizeof(ks_trace_table_SW)};
    ASSERT_EQ(firsts.size(), 2u + 41u + 39u);
    std::set<uint32_t> ids;
    std::set<std::string> identities;
    std::string expected;
    for (size_t t = 0, k = 0; t < 3; ++t) {
        const auto *d = static_cast<const unsigned char *>(kDescriptors[t]);
        EXPECT_EQ(d[-4] | d[-3] << 8 | d[-2] << 16 | d[-1] << 24, int(1 + (t << 16))) << "version and number";
        EXPECT_EQ(sizes[t], 20 + 6 * counts[t]);
        identities.insert(std::string(reinterpret_cast<const char *>(d), 16));
        for (uint32_t i = 0; i < counts[t]; ++i, ++k) {
            uint32_t id;
            uint16_t len;
            std::memcpy(&id, d + 16 + 6 * i, 4), std::memcpy(&len, d + 20 + 6 * i, 2);
            ASSERT_EQ(firsts[k]->table * 100 + firsts[k]->index, t * 100 + i) << "data out of order";
            EXPECT_EQ(len, 1 + firsts[k]->text.size()) << t << "." << i;
            EXPECT_TRUE(ids.insert(id).second) << "message id " << id << " used twice";
            expected += " " + firsts[k]->text;
        }
    }
    EXPECT_EQ(identities.size(), 3u);
    ElfFile elf;
    ASSERT_TRUE(read_elf(KS_LIBRARY_FILE, elf));
    const ElfSection *cat = elf.section(".ks_trace_catalog"), *shapes = elf.section(".ks_trace_shapes");
    ASSERT_TRUE(cat != nullptr && shapes != nullptr);
    std::string loaded;
    for (const ElfSegment &seg : elf.segments) {
        if (seg.type != PT_LOAD) continue;
        loaded += elf.image.substr(seg.offset, seg.filesz) + '\0';
        for (const ElfSection *s : {cat, shapes})
            EXPECT_TRUE(!(s->flags & SHF_ALLOC) && (s->offset >= seg.offset + seg.filesz || s->offset + s->size <= seg.offset));
    }
    std::string packed = elf.contents(*cat), texts(expected.size() + 64, '\0');
    unsigned int len = unsigned(texts.size());
    ASSERT_EQ(BZ2_bzBuffToBuffDecompress(texts.data(), &len, packed.data(), unsigned(packed.size()), 0, 0), BZ_OK);
    EXPECT_EQ(texts.substr(0, len), expected);
    // (The structured show command formats "Error %s accessing keystore
    // record" and "Unknown type %d" itself: the bare forms are left out.)
    for (const Row *r : firsts)
        EXPECT_TRUE(r->text.size() < 10 || loaded.find(r->text) == std::string::npos) << "loaded: " << r->text;
    for (const char *part : {"Storing in sw keystore", "retreival from keystore failed", "Keystore contains the following"})
        EXPECT_EQ(loaded.find(part), std::string::npos) << "loaded: " << part;
}

#ifdef KS_TRACE_DECODER
std::string decode(const std::string &args, int &status) {
    std::string out, cmd = std::string(KS_RUN_PREFIX) + " " + KS_TRACE_DECODER + " " + args + " 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int st = p == nullptr ? -1 : pclose(p);
    status = st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

// The log, closed and reopened half way (appending), decodes to exactly the
// printed text. A log cut inside a record prints what came before and fails;
// so do a file that is no log and a library file without a catalogue.
TEST_F(TraceCatalogTest, BinaryLogAndDecoder) {
    const std::string log = ::testing::TempDir() + "ks_trace_" + std::to_string(getpid()) + ".bin";
    const std::string lib = std::string(" '") + KS_LIBRARY_FILE + "'", quoted_log = "'" + log + "'";
    std::remove(log.c_str());
    std::string printed;
    for (size_t i = 0; i < rows().size(); ++i) {
        if (i % 50 == 0) ASSERT_EQ(ksh_trace_set_binary_log(log.c_str()), 0);
        emit(rows()[i]);
        printed += rows()[i].rendered + "\n";
        if (i % 50 == 49 || i + 1 == rows().size()) ASSERT_EQ(ksh_trace_set_binary_log(nullptr), 0);
    }
    EXPECT_EQ(ksh_trace_set_binary_log("/nonexistent-dir/trace.bin"), -1);
    int status = 0;
    EXPECT_EQ(decode(quoted_log + lib, status), printed);
    EXPECT_EQ(status, 0);
    std::ifstream in(log, std::ios::binary);
    std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(log, std::ios::binary | std::ios::trunc) << whole.substr(0, whole.size() - 3);
    const std::string partial = decode(quoted_log + lib, status);
    EXPECT_TRUE(status == 2 && printed.compare(0, partial.size(), partial) == 0 && partial.size() > 1000);
    for (const std::string &args : {lib + lib, quoted_log + " '" + KS_TRACE_DECODER + "'"})
        EXPECT_EQ((decode(args, status), status), 2) << args;
    std::remove(log.c_str());
}
#endif

}  // namespace
}  // namespace kstest
