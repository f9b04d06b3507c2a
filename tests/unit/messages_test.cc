// The KEYSTORE error-message definitions, and the host facility that prints
// and throttles them.
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "elf_file.h"
#include "keystore/ks_messages.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "ks_test_util.h"

namespace {

struct Expected {
    const ks_message_definition *def;
    const char *mnemonic;
    const char *text;
};

const Expected kMessages[] = {
    {&msg_KEYSTORE_IFS_OPEN_W, "IFS_OPEN_W", "Failed to open file \"%s\" for writing software keystore. (%s)"},
    {&msg_KEYSTORE_IFS_WRITE, "IFS_WRITE", "An error occurred while writing to the software keystore file."},
    {&msg_KEYSTORE_IFS_OPEN_R, "IFS_OPEN_R", "Failed to open file \"%s\" for reading software keystore. (%s)"},
    {&msg_KEYSTORE_IFS_READ, "IFS_READ", "An error (%s) occurred while reading from the software keystore file."},
    {&msg_KEYSTORE_BAD_MAGIC, "BAD_MAGIC", "Bad magic number 0x%08x in software keystore file \"%s\"."},
    {&msg_KEYSTORE_UNEXPECTED_EOF, "UNEXPECTED_EOF", "Unexpected end of file while reading software keystore \"%s\"."},
    {&msg_KEYSTORE_IPCPORT, "IPCPORT", "Failed to create IPC port (%s) for keystore redundancy. %s."},
    {&msg_KEYSTORE_IPCOPEN, "IPCOPEN", "Failed to open IPC port to peer for keystore redundancy: %s"},
    {&msg_KEYSTORE_IPCNOCONN, "IPCNOCONN", "No IPC communication path to peer available for keystore %s."},
    {&msg_KEYSTORE_IPCSEND, "IPCSEND", "IPC send error (%s) while sending %s."},
    {&msg_KEYSTORE_ISSU_INCOMPAT, "ISSU_INCOMPAT", "Standby incompatible for SSO."},
    {&msg_KEYSTORE_IPC_NO_PROC, "IPC_NO_PROC", "Could not create a process to receive keystore redundancy messages."},
    {&msg_KEYSTORE_NO_KEYSTORE, "NO_KEYSTORE",
     "ZAV hardware keystore is not responsive and software emulation is not enabled."},
};

const char kNoKeystoreLine[] =
    "%KEYSTORE-3-NO_KEYSTORE: ZAV hardware keystore is not responsive and software emulation is not enabled.";

// Where an address of this process lies: in a loaded segment that is writable
// for good, or in one that is read-only (never writable, or made read-only
// after relocation).
enum class Memory { kUnknown, kReadOnly, kWritable };

struct Lookup {
    uintptr_t addr;
    Memory found;
};

int classify(struct dl_phdr_info *info, size_t, void *data) {
    auto *l = static_cast<Lookup *>(data);
    bool in_load = false, writable = false, in_relro = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto &ph = info->dlpi_phdr[i];
        uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (l->addr < start || l->addr >= start + ph.p_memsz) continue;
        if (ph.p_type == PT_LOAD) {
            in_load = true;
            writable = (ph.p_flags & PF_W) != 0;
        }
        if (ph.p_type == PT_GNU_RELRO) in_relro = true;
    }
    if (!in_load) return 0;
    l->found = (writable && !in_relro) ? Memory::kWritable : Memory::kReadOnly;
    return 1;
}

Memory memory_of(const void *p) {
    Lookup l{reinterpret_cast<uintptr_t>(p), Memory::kUnknown};
    dl_iterate_phdr(classify, &l);
    return l.found;
}

TEST(MessageDefinitions, FieldByField) {
    std::set<const uint32_t *> words;
    for (const Expected &e : kMessages) {
        SCOPED_TRACE(e.mnemonic);
        const ks_message_definition &d = *e.def;
        EXPECT_STREQ(d.facility, "KEYSTORE");
        EXPECT_STREQ(d.mnemonic, e.mnemonic);
        EXPECT_STREQ(d.format, e.text);
        EXPECT_EQ(d.flags, 0x30000u);
        ASSERT_NE(d.word, nullptr);
        EXPECT_TRUE(words.insert(d.word).second) << "word shared with another message";
        if (e.def == &msg_KEYSTORE_NO_KEYSTORE) {
            ASSERT_NE(d.throttle, nullptr);
            EXPECT_EQ(d.throttle[0], 60000u);
        } else {
            EXPECT_EQ(d.throttle, nullptr);
        }
        // The definition is read-only; what the facility changes is not.
        EXPECT_EQ(memory_of(e.def), Memory::kReadOnly);
        EXPECT_EQ(memory_of(d.word), Memory::kWritable);
        if (d.throttle != nullptr) {
            EXPECT_EQ(memory_of(d.throttle), Memory::kWritable);
        }
    }
}

TEST(MessageDefinitions, WordsAndThrottleAreAtLoadValuesAfterAReset) {
    ksh_message_set_print(0);
    sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);
    sys_message_emit(&msg_KEYSTORE_IPCSEND);
    ksh_message_set_print(1);
    kstest::reset_keystore();
    for (const Expected &e : kMessages) EXPECT_EQ(*e.def->word, 0u) << e.mnemonic;
    const uint32_t *t = msg_KEYSTORE_NO_KEYSTORE.throttle;
    EXPECT_EQ(t[0], 60000u);
    EXPECT_EQ(t[1], 0u);
    EXPECT_EQ(t[2], 0u);
}

// The shipped library exports each definition as a read-only object of the
// record's size, and keeps the writable words and throttle record in
// initialised or zeroed data of its own.
TEST(MessageDefinitions, ExportedAsReadOnlyDataOfTheLibrary) {
    kstest::ElfFile elf;
    ASSERT_TRUE(kstest::read_elf(KS_LIBRARY_FILE, elf));
    for (const Expected &e : kMessages) {
        std::string name = std::string("msg_KEYSTORE_") + e.mnemonic;
        const kstest::ElfSymbol *sym = elf.dynsym(name);
        ASSERT_NE(sym, nullptr) << name;
        EXPECT_EQ(sym->size, sizeof(ks_message_definition)) << name;
        ASSERT_LT(sym->shndx, elf.sections.size()) << name;
        const kstest::ElfSection &sec = elf.sections[sym->shndx];
        // Addresses inside need relocation, so the object sits in the part of
        // the image made read-only after relocation.
        EXPECT_TRUE(sec.name == ".data.rel.ro" || sec.name == ".rodata") << name << " in " << sec.name;
    }
}

// A clock the test moves by hand.
uint64_t g_now = 0;
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
        std::fflush(out_);
        std::rewind(out_);
        std::string s;
        char buf[1024];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, out_)) > 0) s.append(buf, n);
        std::fclose(out_);
        out_ = std::tmpfile();
        ksh_message_set_print_stream(out_);
        return s;
    }
    FILE *out_ = nullptr;
};

TEST_F(MessageFacilityTest, PrintsFacilitySeverityMnemonicAndTextOnOneLine) {
    sys_message_emit(&msg_KEYSTORE_ISSU_INCOMPAT);
    EXPECT_EQ(take_output(), "%KEYSTORE-3-ISSU_INCOMPAT: Standby incompatible for SSO.\n");
    ASSERT_EQ(ksh_message_count(), 1u);
    EXPECT_EQ(ksh_message_at(0), &msg_KEYSTORE_ISSU_INCOMPAT);
    EXPECT_EQ(*msg_KEYSTORE_ISSU_INCOMPAT.word, 1u);
}

TEST_F(MessageFacilityTest, UnthrottledMessagesPrintEveryTime) {
    g_now = 5000;
    for (int i = 0; i < 3; ++i) sys_message_emit(&msg_KEYSTORE_IFS_WRITE);
    std::string line = "%KEYSTORE-3-IFS_WRITE: An error occurred while writing to the software keystore file.\n";
    EXPECT_EQ(take_output(), line + line + line);
    EXPECT_EQ(ksh_message_count(), 3u);
    EXPECT_EQ(ksh_message_suppressed(), 0u);
}

TEST_F(MessageFacilityTest, NoKeystoreAtMostOneLinePerMinuteCountingTheRest) {
    struct Step {
        uint64_t at_ms;
        const char *printed;  // null: held back
        uint64_t held_after;
    };
    const std::string line = kNoKeystoreLine;
    const std::string with3 = line + " (3 held back)\n";
    const std::string with1 = line + " (1 held back)\n";
    const std::string plain = line + "\n";
    const Step steps[] = {
        {1000, plain.c_str(), 0},    // the first one prints
        {1000, nullptr, 1},          // same moment
        {30000, nullptr, 2},
        {60999, nullptr, 3},         // one millisecond short of the interval
        {61000, with3.c_str(), 0},   // the interval is over: printed with the count
        {61001, nullptr, 1},
        {200000, with1.c_str(), 0},  // long after
        {260000, plain.c_str(), 0},  // exactly one interval later, nothing held
    };
    uint32_t calls = 0;
    size_t printed = 0;
    for (const Step &s : steps) {
        SCOPED_TRACE("at " + std::to_string(s.at_ms));
        g_now = s.at_ms;
        sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);
        ++calls;
        if (s.printed != nullptr) ++printed;
        EXPECT_EQ(take_output(), s.printed != nullptr ? s.printed : "");
        EXPECT_EQ(ksh_message_held_back(&msg_KEYSTORE_NO_KEYSTORE), s.held_after);
        EXPECT_EQ(ksh_message_count(), printed);
        EXPECT_EQ(*msg_KEYSTORE_NO_KEYSTORE.word, calls);  // every call counts
    }
    EXPECT_EQ(ksh_message_suppressed(), calls - printed);

    // Throttling one message holds back no other.
    sys_message_emit(&msg_KEYSTORE_IPCOPEN);
    EXPECT_EQ(take_output(), "%KEYSTORE-3-IPCOPEN: Failed to open IPC port to peer for keystore redundancy: %s\n");
}

TEST_F(MessageFacilityTest, ThrottleSurvivesTheWrapOfItsMillisecondWord) {
    g_now = 0xFFFFFF00u;
    sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);
    g_now = 0x100000100u;  // 512 ms later, past the 32-bit wrap
    sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);
    EXPECT_EQ(ksh_message_held_back(&msg_KEYSTORE_NO_KEYSTORE), 1u);
    g_now += 60000;
    sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);
    EXPECT_EQ(take_output(), std::string(kNoKeystoreLine) + "\n" + kNoKeystoreLine + " (1 held back)\n");
}

TEST_F(MessageFacilityTest, ClearStartsTheThrottleAfresh) {
    g_now = 1000;
    sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);
    sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);
    ksh_message_clear();
    EXPECT_EQ(ksh_message_suppressed(), 0u);
    EXPECT_EQ(ksh_message_held_back(&msg_KEYSTORE_NO_KEYSTORE), 0u);
    sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);  // same moment, yet printed
    EXPECT_EQ(take_output(), std::string(kNoKeystoreLine) + "\n" + kNoKeystoreLine + "\n");
    EXPECT_EQ(ksh_message_count(), 1u);
}

TEST_F(MessageFacilityTest, SilentWhenPrintingIsOff) {
    ksh_message_set_print(0);
    sys_message_emit(&msg_KEYSTORE_IPCSEND);
    ksh_message_set_print(1);
    EXPECT_EQ(take_output(), "");
    EXPECT_EQ(ksh_message_count(), 1u);
    sys_message_emit(nullptr);
    EXPECT_EQ(ksh_message_count(), 1u);
}

}  // namespace
