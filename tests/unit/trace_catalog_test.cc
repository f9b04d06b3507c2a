// The trace tables, and every message rendered with sample arguments
// (tests/data/trace_messages.txt). The catalogue in the library file is
// checked by the ctest abi.exports; trace.env_roundtrip runs the rendering
// test with the environment switches on and decodes the log it wrote.

#include "ks_test_util.h"
#include "ks_trace.h"
#include "ks_vectors.h"

namespace kstest {
namespace {

const void *const kDescriptors[] = {KS_TRACE_DESC_FRONT, KS_TRACE_DESC_PAC, KS_TRACE_DESC_SW};

class TraceCatalogTest : public KeystoreTest {};

// Each table: version, number, a 16-byte identity, then per message an id
// unique in the library and the length of its stored text with the space
// before it.
TEST_F(TraceCatalogTest, TableRecords) {
    std::vector<std::string> texts[3];
    std::set<std::pair<int, int>> seen;
    for (const DataRow &r : read_rows("trace_messages.txt"))
        if (seen.insert({std::stoi(r[0]), std::stoi(r[1])}).second) texts[std::stoi(r[0])].push_back(r[2]);
    const size_t sizes[] = {sizeof(ks_trace_table_FRONT), sizeof(ks_trace_table_PAC), sizeof(ks_trace_table_SW)};
    std::set<uint32_t> ids;
    std::set<std::string> identities;
    for (size_t t = 0; t < 3; ++t) {
        const auto *d = static_cast<const unsigned char *>(kDescriptors[t]);
        EXPECT_EQ(S(d[-4] | d[-3] << 8, " ", d[-2] | d[-1] << 8, " ", sizes[t] - 20), S(1, " ", t, " ", 6 * texts[t].size()));
        identities.insert(std::string(reinterpret_cast<const char *>(d), 16));
        for (size_t i = 0; i < texts[t].size(); ++i) {
            uint32_t id;
            uint16_t len;
            std::memcpy(&id, d + 16 + 6 * i, 4), std::memcpy(&len, d + 20 + 6 * i, 2);
            EXPECT_TRUE(ids.insert(id).second && len == 1 + texts[t][i].size()) << t << "." << i;
        }
    }
    EXPECT_EQ(identities.size() * 1000 + ids.size(), 3000u + 2 + 41 + 39);
}

// Rows: table, index, text, rendering ("=": the text), arguments (iN, pHEX,
// s"text", n for a null string), "packed" for a reserve/commit record. A
// string argument is copied when the trace is made; a rendering is cut to
// the caller's buffer.
TEST_F(TraceCatalogTest, EveryMessageRendersAsWritten) {
    auto I = [](const std::string &a) { return int(std::stoll(a.substr(1), nullptr, 0)); };
    auto P = [](const std::string &a) { return reinterpret_cast<const void *>(std::stoull(a.substr(1), nullptr, 16)); };
    auto Str = [](const std::string &a) { return a == "n" ? nullptr : a.c_str() + 1; };
    auto rendered = [](size_t room = 512) {
        std::string s(room, '\0');
        const int n = ksh_trace_render(ksh_trace_at(ksh_trace_count() - 1), s.data(), room);
        return n < 0 ? "<not rendered>" : s.substr(0, size_t(n));
    };
    for (const DataRow &r : read_rows("trace_messages.txt")) {
        const void *d = kDescriptors[std::stoi(r[0])];
        const uint32_t index = uint32_t(std::stoul(r[1])), lvl = ks::kLevelDebug;
        const uint16_t mod = trace_module_ids[r[0] == "2" ? 3 : 2];
        const bool packed = r.back() == "packed";
        const DataRow a(r.begin() + 4, r.end() - packed);
        std::string shape;
        for (const std::string &x : a) shape += x[0] == 'n' ? 's' : x[0];
        if (packed) {  // integer, string length, string bytes, integer; native order
            const uint32_t n = uint32_t(a[1].size() - 1), size = 12 + n;
            const int i0 = I(a[0]), i2 = I(a[2]);
            auto *b = static_cast<unsigned char *>(trace_record_reserve(d, index, mod, lvl, size));
            std::memcpy(b, &i0, 4), std::memcpy(b + 4, &n, 4), std::memcpy(b + 8, Str(a[1]), n), std::memcpy(b + 8 + n, &i2, 4);
            trace_record_commit(b, size, mod, lvl);
        } else if (shape.empty()) trace_emit(d, index, mod, lvl);
        else if (shape == "s") trace_emit(d, index, mod, lvl, Str(a[0]));
        else if (shape == "i") trace_emit(d, index, mod, lvl, I(a[0]));
        else if (shape == "p") trace_emit(d, index, mod, lvl, P(a[0]));
        else if (shape == "is") trace_emit(d, index, mod, lvl, I(a[0]), Str(a[1]));
        else if (shape == "pii") trace_emit(d, index, mod, lvl, P(a[0]), I(a[1]), I(a[2]));
        else if (shape == "pipp") trace_emit(d, index, mod, lvl, P(a[0]), I(a[1]), P(a[2]), P(a[3]));
        else ADD_FAILURE() << "no emitter for shape " << shape;
        EXPECT_EQ(S(ksh_trace_at(ksh_trace_count() - 1)->packed, rendered()), S(packed, r[3] == "=" ? r[2] : r[3])) << r[0] << "." << r[1];
    }
    char name[16] = "/flash";
    trace_emit(KS_TRACE_DESC_SW, KS_TR_SW_SET_FS, trace_module_ids[3], ks::kLevelDebug, name);
    std::strcpy(name, "/changed");
    EXPECT_EQ(rendered() + "|" + rendered(8), "\nKS-SW: Set keystore path to /flash.|\nKS-SW:");
}

}  // namespace
}  // namespace kstest
