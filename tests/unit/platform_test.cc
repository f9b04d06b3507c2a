// SPDX-License-Identifier: Apache-2.0
// What the library sets up and tells its platform: values at load, start-up,
// the mode switch's notification, the key files' location, the error-message
// definitions and the status names; and the host allocator the other tests
// rely on, with the protected memory its blocks come from. Transcripts are
// golden files under tests/golden; tables are under tests/data.

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "ks_test_util.h"
#include "ks_vectors.h"

namespace kstest {
namespace {

const ks_message_definition *const kMessages[] = {  // in the order of tests/data/messages.txt
    &msg_KEYSTORE_IFS_OPEN_W, &msg_KEYSTORE_IFS_WRITE,      &msg_KEYSTORE_IFS_OPEN_R,    &msg_KEYSTORE_IFS_READ,
    &msg_KEYSTORE_BAD_MAGIC,  &msg_KEYSTORE_UNEXPECTED_EOF, &msg_KEYSTORE_IPCPORT,       &msg_KEYSTORE_IPCOPEN,
    &msg_KEYSTORE_IPCNOCONN,  &msg_KEYSTORE_IPCSEND,        &msg_KEYSTORE_ISSU_INCOMPAT, &msg_KEYSTORE_IPC_NO_PROC,
    &msg_KEYSTORE_NO_KEYSTORE};
constexpr uint32_t kTag = 0x0460FF01;  // the tag of the blocks the host allocator tests make
ks_subsystem_header *header(size_t i) {
    return static_cast<ks_subsystem_header *>(const_cast<void *>(ksh_subsystem_at(i)));
}

// What the loaded library left, read before any test runs.
const std::string kAtLoad = [] {
    std::string s =
        S("flags ", ks_use_sw_ks, ks_is_standby, ks_rf_disabled, ks_rf_do_peer_syncs, ks_use_zav_ha, ks_initialized,
          ks_debug_api, ks_debug_ha, ks_debug_ae46c1, aaa_lib_index, "; hardware present ",
          reg_invoke_ks_platform_is_hw_present(), ", exported answer ", ks_is_hw_present(), ", should have one ",
          reg_invoke_ks_platform_should_have_hw_ks(), "\nkey files ", ks_sw_sym_key_fname, " ", ks_sw_rsa_key_fname,
          "\nregistry blocks handed over ", ksh_registry_init_count(), "; message words");
    for (const ks_message_definition *d : kMessages) s += S(" ", *d->word);
    const uint32_t *t = msg_KEYSTORE_NO_KEYSTORE.throttle;
    s += S(", throttle ", t[0], " ", t[1], " ", t[2], "\n");
    for (size_t i = 0; i < ksh_subsystem_count(); ++i) {
        const ks_subsystem_header *h = header(i);
        s += S("subsystem ", h->name, ": format ", h->format, ", fixed ", h->fixed1, h->fixed2, h->fixed3, ", class ",
               h->class_number, h->init == &keystore_init ? ", keystore_init" : "",
               h->zero[0] || h->zero[1] || h->zero[2] || h->zero[3] ? ", a trailing word set" : "", "\n");
    }
    return s;
}();

std::string g_calls;
template <char C>
void sub() {
    g_calls +=
        S(C, ks_are_we_using_sw_emulation(), (*registry_ks_notify_get_ks_notify_ks_changed_ptr())->walk_count, " ");
}

class PlatformTest : public KeystoreTest {};

// The host allocator's accounting, fault injection and wipe check, on which
// the other tests' leak and failure checks rest.
TEST(HostPlatform, Allocator) {
    const uint64_t blocks = ksh_alloc_live_blocks();
    auto *q =
        static_cast<uint8_t *>(tagged_realloc(kTag + 1, std::memcpy(tagged_calloc(kTag, 1, 8), "abcdefgh", 8), 32));
    EXPECT_TRUE(std::memcmp(q, "abcdefgh\0\0\0\0", 12) == 0) << "the contents move, the new bytes are zero";
    EXPECT_EQ(S(ksh_alloc_tag_live_blocks(kTag), " ", ksh_alloc_tag_live_bytes(kTag + 1)), "0 32");
    ksh_alloc_fail_nth(2);  // that call only; a failed realloc keeps the old block
    void *a = tagged_calloc(kTag, 1, 4), *b = tagged_realloc(kTag, q, 64), *c = tagged_calloc(kTag, 1, 4);
    EXPECT_TRUE(a != nullptr && b == nullptr && c != nullptr && q[0] == 'a');
    ksh_alloc_fail_tag(kTag);
    EXPECT_TRUE(tagged_calloc(kTag, 1, 4) == nullptr && tagged_realloc(kTag, nullptr, 4) == nullptr);
    void *other = tagged_calloc(kTag + 2, 1, 4);
    ksh_alloc_clear_faults();
    ksh_alloc_check_cleansed(1);
    const uint64_t uncleansed = ksh_alloc_uncleansed_frees();
    static_cast<uint8_t *>(c)[3] = 1;
    for (void *block : {a, other, c, static_cast<void *>(q), static_cast<void *>(nullptr)}) tagged_free(block);
    ksh_alloc_check_cleansed(0);
    EXPECT_EQ(S(ksh_alloc_uncleansed_frees() - uncleansed, " ", ksh_alloc_last_uncleansed_tag() == kTag + 1), "2 1");
    EXPECT_EQ(ksh_alloc_live_blocks(), blocks);
}

// The kernel's count of the process's locked memory (VmLck), in bytes.
size_t vm_locked() {
    std::ifstream in("/proc/self/status");
    const std::string s{std::istreambuf_iterator<char>(in), {}};
    return std::stoul(s.substr(s.find("VmLck:") + 6)) << 10;
}

// Blocks of mixed sizes allocated and freed in a seeded random order: each
// comes zeroed, aligned and protected and keeps its bytes until freed (no two
// overlap). Locking charges only the steps the blocks lie in, as the kernel
// counts it too; once all are freed, no step of theirs stays charged, and the
// region has merged back into room for one block as large as before.
TEST(HostPlatform, ProtectedBlocksKeepTheirBytesAndMergeBack) {
    ksh_protection_info start, mid, end;
    tagged_free(tagged_calloc(kTag, 1, 1));  // the first protected block makes the region
    ksh_alloc_protection_info(&start);
    if (start.mode == KSH_PROTECT_OFF || start.size == 0) GTEST_SKIP() << "protected memory is off";
    size_t largest = start.size - start.used - 4096;
    const auto largest_is_protected = [&] {
        void *p = tagged_calloc(kTag, 1, largest);
        const bool is = ksh_alloc_is_protected(p);
        return tagged_free(p), is;
    };
    // A block kept by an earlier test in this process (the key table's slot
    // array) may lie inside the region: the largest block is what fits then.
    while (largest > 4096 && !largest_is_protected()) largest -= 4096;
    ASSERT_TRUE(largest_is_protected());
    ksh_alloc_protection_info(&start);
    std::vector<std::tuple<uint8_t *, size_t, uint8_t>> live;  // block, size, fill
    uint64_t x = 42;
    const auto next = [&x] { return (x = x * 6364136223846793005ull + 1442695040888963407ull) >> 33; };
    for (int step = 0; step < 3000; ++step) {
        if (live.size() < 150 && (live.empty() || next() % 3 != 0)) {
            const size_t n = 1 + next() % (next() % 8 == 0 ? 20000 : 300);
            auto *p = static_cast<uint8_t *>(tagged_calloc(kTag, 1, n));
            ASSERT_TRUE(p && ksh_alloc_is_protected(p) && uintptr_t(p) % 16 == 0 &&
                        std::all_of(p, p + n, [](uint8_t b) { return b == 0; }))
                << "step " << step;
            live.emplace_back(p, n, uint8_t(step | 1)), std::memset(p, step | 1, n);
        } else {
            const size_t i = next() % live.size();
            const auto [p, n, fill] = live[i];
            ASSERT_TRUE(std::all_of(p, p + n, [f = fill](uint8_t b) { return b == f; })) << "step " << step;
            tagged_free(p), live.erase(live.begin() + std::ptrdiff_t(i));
        }
    }
    // Each block's chunk starts 48 bytes before it (the region's and the
    // allocator's headers) and ends within 16 bytes after it; steps lie on
    // multiples of the step.
    std::set<uintptr_t> steps;
    for (const auto &[p, n, fill] : live)
        for (uintptr_t s = (uintptr_t(p) - 48) / start.step; s <= (uintptr_t(p) + n + 15) / start.step; ++s)
            steps.insert(s);
    ksh_alloc_protection_info(&mid);
    EXPECT_LE(mid.locked + mid.unlocked, start.locked + start.unlocked + steps.size() * start.step);
    EXPECT_EQ(vm_locked(), mid.locked);
    for (const auto &l : live) tagged_free(std::get<0>(l));
    ksh_alloc_protection_info(&end);
    EXPECT_EQ(S(end.used, " ", end.locked + end.unlocked), S(start.used, " ", start.locked + start.unlocked));
    EXPECT_TRUE(largest_is_protected());
}

// A block in each mode when the region can lock it, when the lock limit is
// reached (the child drops CAP_IPC_LOCK, so that the limit binds root too),
// and when the region cannot hold it (full, or its memory cannot be mapped):
// locked, served unlocked, refused or put in ordinary memory, as the mode
// says; two such blocks make one message, or none when nothing was refused or
// left unlocked. The kernel's count of locked memory stays the region's.
TEST(HostPlatformDeathTest, EachModeLocksServesUnlockedRefusesOrFallsBackWithOneMessage) {
    enum Case { kRoom, kNoRoom, kFull, kNoMap };
    enum Outcome { kLocked, kUnlocked, kRefused, kOrdinary };
    const struct {
        int mode;
        Case c;
        Outcome want;
        const char *message;
    } kRows[] = {{KSH_PROTECT_REGION, kNoRoom, kUnlocked, "%KSH-4-UNLOCKED: "},
                 {KSH_PROTECT_PREFER, kNoRoom, kUnlocked, "%KSH-4-UNLOCKED: "},
                 {KSH_PROTECT_REQUIRE, kNoRoom, kRefused, "%KSH-3-NOLOCK: "},
                 {KSH_PROTECT_OFF, kNoRoom, kOrdinary, ""},
                 {KSH_PROTECT_REGION, kFull, kRefused, "%KSH-3-FULL: "},
                 {KSH_PROTECT_PREFER, kFull, kOrdinary, "%KSH-4-FULL_FALLBACK: "},
                 {KSH_PROTECT_REQUIRE, kNoMap, kRefused, "%KSH-3-NOMAP: "},
                 {KSH_PROTECT_PREFER, kNoMap, kOrdinary, "%KSH-4-NOMAP_FALLBACK: "},
                 {KSH_PROTECT_REQUIRE, kRoom, kLocked, ""}};
    ksh_protection_info info;
    ksh_alloc_protection_info(&info);
    rlimit limit{};
    getrlimit(RLIMIT_MEMLOCK, &limit);
    for (const auto &r : kRows) {
        if (r.c == kRoom && limit.rlim_max != RLIM_INFINITY && vm_locked() + 2 * info.step > limit.rlim_max)
            GTEST_SKIP() << "the hard lock limit leaves no room for two steps";
        const auto two_blocks = [&r] {
            ksh_protection_info before, after;
            ksh_alloc_protection_info(&before);
            __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct caps[2] = {};
            if (syscall(SYS_capget, &header, caps) == 0) {
                caps[CAP_IPC_LOCK / 32].effective &= ~(1u << (CAP_IPC_LOCK % 32));
                caps[CAP_IPC_LOCK / 32].permitted &= ~(1u << (CAP_IPC_LOCK % 32));
                syscall(SYS_capset, &header, caps);
            }
            rlimit lock{};
            getrlimit(RLIMIT_MEMLOCK, &lock);
            lock.rlim_cur = vm_locked() + (r.c == kRoom ? 2 * before.step : 0);
            setrlimit(RLIMIT_MEMLOCK, &lock);
            // Three steps hold at least one no other block lies in; no region
            // of the size asked for below can be reserved.
            const size_t n = r.c == kRoom ? 100 : r.c == kNoRoom ? 3 * before.step : before.limit;
            ksh_alloc_set_protection(r.mode, r.c == kNoMap ? SIZE_MAX : 0);
            bool ok = true;
            void *b[2];
            for (void *&block : b) {
                block = tagged_calloc(kTag, 1, n);
                const Outcome got = block == nullptr                 ? kRefused
                                    : !ksh_alloc_is_protected(block) ? kOrdinary
                                    : ksh_alloc_is_locked(block)     ? kLocked
                                                                     : kUnlocked;
                ok = ok && got == r.want;
            }
            ksh_alloc_protection_info(&after);
            ok = ok && vm_locked() == after.locked &&
                 after.refused - before.refused == (r.want == kRefused ? 2u : 0u) &&
                 after.unprotected - before.unprotected == (r.want == kOrdinary && r.mode != KSH_PROTECT_OFF ? 2u : 0u);
            for (void *block : b) tagged_free(block);
            std::exit(ok ? 0 : 1);
        };
        EXPECT_EXIT(two_blocks(), testing::ExitedWithCode(0),
                    *r.message ? std::string("^") + r.message + "[^\n]*\n$" : std::string("^$"))
            << "mode " << r.mode << ", case " << r.c;
    }
}

// Each recorder driven by record number k and read back as the k it kept: a
// full ring drops its oldest records and counts them, a smaller capacity
// drops down to it, capacity 0 keeps nothing more, a clear forgets the count.
// With recording off, printing, the hook and the PAC handlers still see
// everything.
TEST(HostPlatform, RecordingRings) {
    static ks_message_definition defs[8] = {};
    struct Recorder {
        void (*make)(int k);
        size_t (*count)();
        int (*at)(size_t i);
        uint64_t (*dropped)();
        void (*clear)();
    };
    const Recorder recorders[] = {
        {[](int k) { trace_emit(nullptr, uint32_t(k), 0, 0); }, ksh_trace_count,
         [](size_t i) { return int(ksh_trace_at(i)->index); }, ksh_trace_dropped, ksh_trace_clear},
        {[](int k) { sys_message_emit(&defs[k]); }, ksh_message_count,
         [](size_t i) { return int(static_cast<const ks_message_definition *>(ksh_message_at(i)) - defs); },
         ksh_message_dropped, ksh_message_clear},
        {[](int k) { showmsg_elem_create(0, uintptr_t(k)); }, ksh_showmsg_call_count,
         [](size_t i) { return int(ksh_showmsg_call_at(i)->ctx1); }, ksh_showmsg_calls_dropped, ksh_showmsg_reset},
        {[](int k) { notify_pac_added(std::array{uint8_t(k)}.data(), 1); }, ksh_pac_event_count,
         [](size_t i) { return int(ksh_pac_event_at(i)->aid[0]); }, ksh_pac_events_dropped, ksh_pac_events_clear},
    };
    ksh_message_set_print(0);
    for (const Recorder &r : recorders) {
        ksh_set_recording(3), r.clear();
        for (int k = 0; k < 5; ++k) r.make(k);
        std::string kept;
        for (size_t i = 0; i < r.count(); ++i) kept += S(r.at(i));
        kept += S("/", r.dropped(), " ");
        ksh_set_recording(1);
        kept += S(r.count() == 1 ? r.at(0) : -1, "/", r.dropped());
        ksh_set_recording(0), r.make(5);
        kept += S(" ", r.count());
        r.clear();
        EXPECT_EQ(S(kept, "/", r.dropped()), "234/2 4/4 0/0") << &r - recorders;
    }
    ksh_message_set_print(1);
    FILE *printed = std::tmpfile();
    ksh_trace_set_print_stream(printed), ksh_trace_set_print(1);
    int seen = 0;
    ksh_trace_set_hook([](void *n, const ksh_trace_record *) { ++*static_cast<int *>(n); }, &seen);
    ksh_set_pac_handlers([](void *n, const uint8_t *, uint32_t) { ++*static_cast<int *>(n); }, nullptr, &seen);
    const uint8_t aid = 1;
    trace_emit(nullptr, 7, 0, 0), notify_pac_added(&aid, 1);
    ksh_trace_set_print(0), ksh_trace_set_print_stream(nullptr), ksh_trace_set_hook(nullptr, nullptr);
    ksh_set_pac_handlers(nullptr, nullptr, nullptr), ksh_set_recording(KSH_RECORD_DEFAULT_CAPACITY);
    EXPECT_EQ(S(std::ftell(printed) > 0, " ", seen, " ", ksh_trace_count() + ksh_pac_event_count()), "1 2 0");
    std::fclose(printed);
}

// Start-up (keystore_init; the other subsystems initialise nothing) selects
// the software keystore without a notification and picks the key files'
// location. The mode switch compares the raw value, stores 1 or 0, then notifies within one
// walk; only bit 0 of a subscriber's flags means "pass over".
TEST_F(PlatformTest, LoadStartUpAndModes) {
    std::string out = kAtLoad;
    // Each registry block goes to the framework naming its own descriptor;
    // creating again hands over nothing more.
    for (int round = 0; round < 2; ++round) {
        const std::string created =
            S(create_registry_keystore_ha_public(), create_registry_ks_notify(), create_registry_ks_platform());
        out += S("create registries: ", created, ", blocks handed over ", ksh_registry_init_count(), ", descriptors ",
                 _registry_keystore_ha_public->head.descriptor == &_registry_desc_keystore_ha_public,
                 _registry_ks_notify->head.descriptor == &_registry_desc_ks_notify,
                 _registry_ks_platform->head.descriptor == &_registry_desc_ks_platform, "\n");
    }
    ks_list_header **changed = registry_ks_notify_get_ks_notify_ks_changed_ptr();
    ksh_registry_subscribe(changed, sub<'a'>, 0);
    ksh_registry_subscribe(registry_ks_notify_get_ks_notify_switchover_ptr(), sub<'o'>, 0);
    ks_use_sw_ks = 0;
    for (size_t i = 1; i < 4; ++i) header(i)->init();
    out += step(S("other subsystems' init, software keystore ", ks_use_sw_ks));
    ksh_set_hw_models(1u << 4);  // a boot-flash board
    keystore_init();
    out +=
        step(S("keystore_init: software keystore ", ks_use_sw_ks, ", ", ks_sw_sym_key_fname, ", notified ", g_calls));
    for (auto [before, arg] :
         {std::pair{1, 1}, {0, 0}, {1, 0}, {0, 1}, {1, 5}, {0, 5}, {5, 5}, {2, 1}, {1, -1}, {0, INT32_MIN}}) {
        const uint64_t releases = ksh_registry_release_count();
        g_calls.clear(), ks_use_sw_ks = before;
        ks_use_sw_emulation(arg);
        out += S("switch from ", before, " with ", arg, ": ", ks_use_sw_ks, ", notified ", g_calls, "released ",
                 ksh_registry_release_count() - releases, "\n");
    }
    for (int list : {0, 1}) {  // no list, and a list without subscribers
        ksh_registry_clear(changed);
        if (list) ksh_registry_make_empty_list(changed);
        const uint64_t releases = ksh_registry_release_count();
        ks_use_sw_emulation(!ks_use_sw_ks);
        out += S(list ? "empty list" : "no list", ": released ", ksh_registry_release_count() - releases, "\n");
    }
    for (auto [fn, flags] : {std::pair<void (*)(), int>{sub<'a'>, 0},
                             {sub<'b'>, KS_LIST_NODE_SKIP},
                             {sub<'c'>, KS_LIST_NODE_SKIP | 2},
                             {sub<'c'>, 0},
                             {sub<'a'>, 2}})
        ksh_registry_subscribe(changed, fn, uint8_t(flags));
    g_calls.clear();
    ks_use_sw_emulation(0);
    out += S("switch with flagged subscribers: notified ", g_calls, ", walks left ", (*changed)->walk_count, "\n");
    ksh_registry_clear(changed), ksh_registry_clear(registry_ks_notify_get_ks_notify_switchover_ptr());
    ks_wait_on_keystore_init(), ks_disable_rf(), ks_set_standby_mode(7), ks_set_zav_for_incr_sync(9);
    out += S("wait, disable rf, standby 7, zav 9: initialised ", ks_initialized, ", rf disabled ", ks_rf_disabled,
             ", standby ", ks_is_standby, ", zav ", ks_use_zav_ha, " (answered ", ks_use_zav_for_incr_sync(), ")\n");
    expect_golden("golden/platform_modes.txt", out);
}

// The key files under a directory (cut at 79 characters); start-up asks the
// board families in order until the first yes, then the board subtype.
TEST_F(PlatformTest, KeyFiles) {
    std::string out;
    for (const DataRow &c : read_rows("storage_dirs.txt")) {
        (c[0] == "1" ? ks_sw_set_fs : ks_set_sw_storage_fs)(c[1] == "-" ? nullptr : c[1].c_str());
        out += step(S(ks_sw_sym_key_fname, " ", ks_sw_rsa_key_fname));
    }
    for (const DataRow &c : read_rows("storage_boards.txt")) {
        reset_keystore();
        if (c.size() > 2) ks_sw_set_fs("/disk0"), drain();
        ksh_set_hw_models(uint32_t(std::stoul(c[0], nullptr, 16)));
        ksh_set_board_subtype(std::stoi(c[1]));
        ks_sw_init();
        std::vector<uint32_t> asked(64);
        asked.resize(ksh_hw_query_log(asked.data(), asked.size()));
        bool in_order = true;
        for (uint32_t i = 0; i < asked.size(); ++i) in_order &= asked[i] == i;
        out += step(S("models ", c[0], ", subtype ", c[1], ": ", asked.size(),
                      in_order ? " families asked in order; " : " asked, out of order; ", ks_sw_sym_key_fname, " ",
                      ks_sw_rsa_key_fname));
    }
    // The file wrappers: a count no larger than asked, a result past 31 bits
    // refused as -1 with EOVERFLOW, the size read from the end with the
    // position put back at the start, and -1 (a failed open) closed as 0.
    char path[] = "/tmp/ks-key-file-XXXXXX";
    const int32_t fd = mkstemp(path);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    uint8_t buf[16] = "0123456789";
    auto at = [&](const char *what, int32_t r) {
        out += S(what, ": ", r, r < 0 ? S(" ", std::strerror(errno)) : "", "\n"), errno = 0;
    };
    at("write 10", ifs_write(fd, buf, 10)), ifs_lseek(fd, 2, SEEK_SET), at("read 4 at 2", ifs_read(fd, buf, 4));
    at("size", ifs_fd_get_size(fd)), at("then at", ifs_lseek(fd, 0, SEEK_CUR));
    at("seek to 2^31-1", ifs_lseek(fd, INT32_MAX, SEEK_SET)), at("one more", ifs_lseek(fd, 1, SEEK_CUR));
    if (ftruncate64(fd, int64_t{1} << 31) != 0) {  // sparse: no space taken
        ADD_FAILURE() << "ftruncate64: " << std::strerror(errno);
        close(fd), unlink(path);
        return;
    }
    at("size 2^31", ifs_fd_get_size(fd)), at("then at", ifs_lseek(fd, 0, SEEK_CUR));
    at("close", ifs_close(fd)), at("close -1", ifs_close(-1)), at("remove", ifs_remove(path));
    expect_golden("golden/platform_key_files.txt", out);
}

// Definitions field by field (tests/data/messages.txt; the ctest
// abi.exports checks how they are exported), and the host's printing of
// them; status names (status_names.txt), other values in decimal in one
// buffer per thread.
TEST_F(PlatformTest, MessagesAndStatusNames) {
    const auto rows = read_rows("messages.txt");
    ASSERT_EQ(rows.size(), std::size(kMessages));
    std::set<const uint32_t *> words;
    for (size_t i = 0; i < rows.size(); ++i) {
        const ks_message_definition &d = *kMessages[i];
        EXPECT_EQ(S(d.facility, " ", d.mnemonic, " ", d.format, " ", d.flags),
                  S("KEYSTORE ", rows[i][0], " ", rows[i][1], " 196608"));
        EXPECT_TRUE(words.insert(d.word).second && d.word &&
                    (d.throttle != nullptr) == (&d == &msg_KEYSTORE_NO_KEYSTORE));
    }
    // Printed and throttled by the host: the first at once, the others held
    // back and counted until a minute has passed (across the wrap of a 32-bit
    // millisecond word); one message's throttle holds back no other.
    static uint64_t now;
    std::string printed;
    ksh_message_set_clock([] { return now; });
    FILE *stream = std::tmpfile();
    ksh_message_set_print_stream(stream);
    for (uint64_t at : {1000ull, 1000ull, 30000ull, 60999ull, 61000ull, 61001ull, 200000ull, 260000ull, 0xFFFFFF00ull,
                        0x100000100ull})
        now = at, sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE),
        printed += S(ksh_message_held_back(&msg_KEYSTORE_NO_KEYSTORE), " ");
    sys_message_emit(&msg_KEYSTORE_ISSU_INCOMPAT);
    printed += S(*msg_KEYSTORE_NO_KEYSTORE.word, " ", ksh_message_count(), " ", ksh_message_suppressed(), "\n");
    ksh_message_set_print(0), sys_message_emit(&msg_KEYSTORE_IPCSEND), ksh_message_set_print(1);
    std::rewind(stream);
    for (int c; (c = std::fgetc(stream)) != EOF;) printed += char(c);
    std::fclose(stream), ksh_message_set_print_stream(nullptr), ksh_message_set_clock(nullptr);
    expect_golden("golden/platform_messages.txt", printed);
    int32_t v = 0;
    for (const DataRow &row : read_rows("status_names.txt"))
        for (const std::string &name : row) {
            EXPECT_EQ(ks_err_str(v), name == "-" ? std::to_string(v) : name) << v;
            ++v;
        }
    EXPECT_EQ(ks_get_errormsg(), nullptr);
    const char *buf = ks_err_str(15);
    for (int32_t x : {20, 35, -1, INT32_MAX, INT32_MIN}) EXPECT_TRUE(ks_err_str(x) == buf && std::to_string(x) == buf);
    EXPECT_STREQ(ks_err_str(4), "NO_MEMORY");  // a name leaves the buffer alone
    std::string other;
    std::thread([&] { other = ks_err_str(-99); }).join();
    EXPECT_EQ(other + " " + buf, "-99 -2147483648");
}

}  // namespace
}  // namespace kstest
