// The KEYSTORE error-message definitions, and the host facility that prints
// and throttles them. Mnemonics and texts are in tests/data/messages.txt.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "elf_file.h"
#include "keystore/ks_messages.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "ks_test_util.h"
#include "ks_vectors.h"

namespace {

// In the order of the data file.
const ks_message_definition *const kDefs[] = {
    &msg_KEYSTORE_IFS_OPEN_W, &msg_KEYSTORE_IFS_WRITE,      &msg_KEYSTORE_IFS_OPEN_R, &msg_KEYSTORE_IFS_READ,
    &msg_KEYSTORE_BAD_MAGIC,  &msg_KEYSTORE_UNEXPECTED_EOF, &msg_KEYSTORE_IPCPORT,    &msg_KEYSTORE_IPCOPEN,
    &msg_KEYSTORE_IPCNOCONN,  &msg_KEYSTORE_IPCSEND,        &msg_KEYSTORE_ISSU_INCOMPAT, &msg_KEYSTORE_IPC_NO_PROC,
    &msg_KEYSTORE_NO_KEYSTORE,
};

const std::string kNoKeystoreLine =
    "%KEYSTORE-3-NO_KEYSTORE: ZAV hardware keystore is not responsive and software emulation is not enabled.";

// Fields, and the shipped library's export of each definition as a read-only
// object of the record's size (in the part of the image made read-only after
// relocation, as it holds addresses).
TEST(MessageDefinitions, FieldByFieldAndExportedReadOnly) {
    auto rows = kstest::read_rows("messages.txt");
    ASSERT_EQ(rows.size(), std::size(kDefs));
    kstest::ElfFile elf;
    ASSERT_TRUE(kstest::read_elf(KS_LIBRARY_FILE, elf));
    std::set<const uint32_t *> words;
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i][0]);
        const ks_message_definition &d = *kDefs[i];
        EXPECT_STREQ(d.facility, "KEYSTORE");
        EXPECT_EQ(d.mnemonic, rows[i][0]);
        EXPECT_EQ(d.format, rows[i][1]);
        EXPECT_EQ(d.flags, 0x30000u);
        ASSERT_NE(d.word, nullptr);
        EXPECT_TRUE(words.insert(d.word).second) << "word shared with another message";
        EXPECT_EQ(d.throttle != nullptr, &d == &msg_KEYSTORE_NO_KEYSTORE);
        const kstest::ElfSymbol *sym = elf.dynsym("msg_KEYSTORE_" + rows[i][0]);
        ASSERT_NE(sym, nullptr);
        EXPECT_EQ(sym->size, sizeof(ks_message_definition));
        ASSERT_LT(sym->shndx, elf.sections.size());
        const std::string &sec = elf.sections[sym->shndx].name;
        EXPECT_TRUE(sec == ".data.rel.ro" || sec == ".rodata") << sec;
    }
}

TEST(MessageDefinitions, WordsAndThrottleAreAtLoadValuesAfterAReset) {
    ksh_message_set_print(0);
    sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);
    sys_message_emit(&msg_KEYSTORE_IPCSEND);
    ksh_message_set_print(1);
    kstest::reset_keystore();
    for (const ks_message_definition *d : kDefs) EXPECT_EQ(*d->word, 0u) << d->mnemonic;
    const uint32_t *t = msg_KEYSTORE_NO_KEYSTORE.throttle;
    EXPECT_EQ(std::vector<uint32_t>(t, t + 3), (std::vector<uint32_t>{60000, 0, 0}));
}

uint64_t g_now = 0;  // a clock the test moves by hand
uint64_t fake_now() { return g_now; }

class MessageFacilityTest : public kstest::KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        out_ = std::tmpfile();
        ASSERT_NE(out_, nullptr);
        ksh_message_set_print_stream(out_);
        ksh_message_set_clock(fake_now);
    }
    void TearDown() override {
        ksh_message_set_clock(nullptr);
        ksh_message_set_print_stream(nullptr);
        std::fclose(out_);
        KeystoreTest::TearDown();
    }
    // What has been printed since the last call.
    std::string take_output() {
        std::string s;
        std::rewind(out_);
        for (int c; (c = std::fgetc(out_)) != EOF;) s += static_cast<char>(c);
        std::fclose(out_);
        ksh_message_set_print_stream(out_ = std::tmpfile());
        return s;
    }
    FILE *out_ = nullptr;
};

TEST_F(MessageFacilityTest, UnthrottledMessagesPrintEveryTimeUnlessPrintingIsOff) {
    g_now = 5000;
    for (int i = 0; i < 2; ++i) sys_message_emit(&msg_KEYSTORE_ISSU_INCOMPAT);
    const std::string line = "%KEYSTORE-3-ISSU_INCOMPAT: Standby incompatible for SSO.\n";
    EXPECT_EQ(take_output(), line + line);
    EXPECT_EQ(ksh_message_at(1), &msg_KEYSTORE_ISSU_INCOMPAT);
    EXPECT_EQ(*msg_KEYSTORE_ISSU_INCOMPAT.word, 2u);
    ksh_message_set_print(0);
    sys_message_emit(&msg_KEYSTORE_IPCSEND);
    sys_message_emit(nullptr);
    ksh_message_set_print(1);
    EXPECT_EQ(take_output(), "");
    EXPECT_EQ(ksh_message_count(), 3u);
    EXPECT_EQ(ksh_message_suppressed(), 0u);
}

TEST_F(MessageFacilityTest, NoKeystoreAtMostOneLinePerMinuteCountingTheRest) {
    const std::string plain = kNoKeystoreLine + "\n";
    const struct {
        uint64_t at_ms;
        std::string printed;  // empty: held back
        uint64_t held_after;
    } steps[] = {
        {1000, plain, 0},                                   // the first one prints
        {1000, "", 1},          {30000, "", 2},
        {60999, "", 3},                                     // one millisecond short of the interval
        {61000, kNoKeystoreLine + " (3 held back)\n", 0},   // printed with the count
        {61001, "", 1},
        {200000, kNoKeystoreLine + " (1 held back)\n", 0},  // long after
        {260000, plain, 0},                                 // one interval later, nothing held
        {0xFFFFFF00, plain, 0},                             // then across the wrap of a 32-bit millisecond word
        {0x100000100, "", 1},
    };
    uint32_t calls = 0;
    size_t printed = 0;
    for (const auto &s : steps) {
        SCOPED_TRACE("at " + std::to_string(s.at_ms));
        g_now = s.at_ms;
        sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);
        printed += s.printed.empty() ? 0 : 1;
        EXPECT_EQ(take_output(), s.printed);
        EXPECT_EQ(ksh_message_held_back(&msg_KEYSTORE_NO_KEYSTORE), s.held_after);
        EXPECT_EQ(ksh_message_count(), printed);
        EXPECT_EQ(*msg_KEYSTORE_NO_KEYSTORE.word, ++calls);  // every call counts
    }
    EXPECT_EQ(ksh_message_suppressed(), calls - printed);
    sys_message_emit(&msg_KEYSTORE_IPCOPEN);  // throttling one message holds back no other
    EXPECT_EQ(take_output(), "%KEYSTORE-3-IPCOPEN: Failed to open IPC port to peer for keystore redundancy: %s\n");
    ksh_message_clear();  // starts the throttle afresh
    EXPECT_EQ(ksh_message_held_back(&msg_KEYSTORE_NO_KEYSTORE), 0u);
    sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);
    EXPECT_EQ(take_output(), plain);
}

}  // namespace
