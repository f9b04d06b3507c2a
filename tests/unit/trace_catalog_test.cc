// SPDX-License-Identifier: Apache-2.0
// Every message rendered with sample arguments (tests/data/trace_messages.txt)
// through its trace table and the catalogue in the library file, which the
// ctest abi.exports checks; trace.env_roundtrip runs this test with the
// environment switches on and decodes the log it wrote (message ids).

#include "ks_test_util.h"
#include "ks_trace.h"
#include "ks_vectors.h"

namespace kstest {
namespace {

const void *const kDescriptors[] = {KS_TRACE_DESC_FRONT, KS_TRACE_DESC_PAC, KS_TRACE_DESC_SW};

class TraceCatalogTest : public KeystoreTest {};

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
        const uint32_t index = uint32_t(std::stoul(r[1])), lvl = KS_TRACE_LEVEL_DEBUG;
        const uint16_t mod = trace_module_ids[r[0] == "2" ? 3 : 2];
        const bool packed = r.back() == "packed";
        const DataRow a(r.begin() + 4, r.end() - packed);
        std::string shape;
        for (const std::string &x : a) shape += x[0] == 'n' ? 's' : x[0];
        // The emitter of each argument shape the rows use.
        const std::map<std::string, std::function<void()>> emit = {
            {"", [&] { trace_emit(d, index, mod, lvl); }},
            {"s", [&] { trace_emit(d, index, mod, lvl, Str(a[0])); }},
            {"i", [&] { trace_emit(d, index, mod, lvl, I(a[0])); }},
            {"p", [&] { trace_emit(d, index, mod, lvl, P(a[0])); }},
            {"is", [&] { trace_emit(d, index, mod, lvl, I(a[0]), Str(a[1])); }},
            {"pii", [&] { trace_emit(d, index, mod, lvl, P(a[0]), I(a[1]), I(a[2])); }},
            {"pipp", [&] { trace_emit(d, index, mod, lvl, P(a[0]), I(a[1]), P(a[2]), P(a[3])); }}};
        if (packed) {  // integer, string length, string bytes, integer; native order
            const uint32_t n = uint32_t(a[1].size() - 1), size = 12 + n;
            const int i0 = I(a[0]), i2 = I(a[2]);
            auto *b = static_cast<unsigned char *>(trace_record_reserve(d, index, mod, lvl, size));
            std::memcpy(b, &i0, 4), std::memcpy(b + 4, &n, 4), std::memcpy(b + 8, Str(a[1]), n),
                std::memcpy(b + 8 + n, &i2, 4);
            trace_record_commit(b, size, mod, lvl);
        } else if (const auto e = emit.find(shape); e != emit.end())
            e->second();
        else
            ADD_FAILURE() << "no emitter for shape " << shape;
        EXPECT_EQ(S(ksh_trace_at(ksh_trace_count() - 1)->packed, rendered()), S(packed, r[3] == "=" ? r[2] : r[3]))
            << r[0] << "." << r[1];
    }
    char name[16] = "/flash";
    trace_emit(KS_TRACE_DESC_SW, KS_TR_SW_SET_FS, trace_module_ids[3], KS_TRACE_LEVEL_DEBUG, name);
    std::strcpy(name, "/changed");
    EXPECT_EQ(rendered() + "|" + rendered(8), "\nKS-SW: Set keystore path to /flash.|\nKS-SW:");
}

}  // namespace
}  // namespace kstest
