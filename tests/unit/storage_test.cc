// Key file names, the start-up choice of their file system, and the ifs_ file
// wrappers on real temporary files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "keystore/ks_storage.h"
#include "keystore/platform/ks_platform.h"
#include "ks_test_util.h"

namespace {

// The names as the loaded library holds them, read before any test runs.
const std::string kNamesAtLoad = std::string(ks_sw_sym_key_fname) + " " + ks_sw_rsa_key_fname;

std::string names() { return std::string(ks_sw_sym_key_fname) + " " + ks_sw_rsa_key_fname; }

// Exactly one trace was recorded, the path trace naming dir; or none.
void expect_path_trace(const char *dir) {
    ASSERT_EQ(ksh_trace_count(), dir ? 1u : 0u);
    if (dir == nullptr) return;
    const ksh_trace_record *t = ksh_trace_at(0);
    EXPECT_EQ(std::vector<uint32_t>({uint32_t(t->table), t->index, t->module_id, t->level, uint32_t(t->nargs)}),
              std::vector<uint32_t>({2, 0, trace_module_ids[3], 0x7000000, 1}));
    EXPECT_EQ(t->args[0].kind, 's');
    EXPECT_STREQ(t->args[0].s, dir);
}

class StorageTest : public kstest::KeystoreTest {};

// Both names under the directory, cut at 79 characters; the second entry
// point does the same; null changes nothing.
TEST_F(StorageTest, SetFsRebuildsBothNamesUnderTheDirectory) {
    EXPECT_EQ(kNamesAtLoad, "/flash/private-KS1 /flash/private-KS2");
    const std::string d67(67, 'd'), d68(68, 'd'), d90(90, 'd');  // 67 + 12 = 79 fits exactly
    const struct {
        std::string dir, names;
        void (*set)(const char *);
    } cases[] = {
        {"/disk0", "/disk0/private-KS1 /disk0/private-KS2", ks_sw_set_fs},
        {"/disk1/", "/disk1//private-KS1 /disk1//private-KS2", ks_set_sw_storage_fs},
        {"", "/private-KS1 /private-KS2", ks_sw_set_fs},
        {d67, d67 + "/private-KS1 " + d67 + "/private-KS2", ks_sw_set_fs},
        {d68, d68 + "/private-KS " + d68 + "/private-KS", ks_set_sw_storage_fs},  // the last character is cut
        {d90, d90.substr(0, 79) + " " + d90.substr(0, 79), ks_sw_set_fs},          // the directory alone is over 79
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dir);
        ksh_trace_clear();
        c.set(c.dir.c_str());
        EXPECT_EQ(names(), c.names);
        expect_path_trace(c.dir.c_str());
    }
    ksh_trace_clear();
    ks_sw_set_fs(nullptr);
    EXPECT_EQ(names(), d90.substr(0, 79) + " " + d90.substr(0, 79));
    expect_path_trace(nullptr);
}

TEST_F(StorageTest, InitAsksFamiliesInOrderUntilTheFirstYesThenTheSubtype) {
    const struct {
        const char *what;
        uint32_t models;
        int subtype;
        uint32_t queries;  // families asked: 0 .. queries - 1
        bool bootflash;
    } cases[] = {
        {"first family", 1u << 0, 0, 1, true},
        {"sixth family, subtype 50 not needed", (1u << 5) | (1u << 9), 50, 6, true},
        {"last family", 1u << 30, 0, 31, true},
        {"only an unasked 32nd family", 1u << 31, 0, 31, false},
        {"no family, subtype 50", 0, 50, 31, true},
        {"no family, subtype 49", 0, 49, 31, false},
        {"no family, subtype 51", 0, 51, 31, false},
        {"moved location, no boot-flash board", 0, 0, 31, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kstest::reset_keystore();
        if (c.what[0] == 'm') ks_sw_set_fs("/disk0"), ksh_trace_clear();
        ksh_set_hw_models(c.models);
        ksh_set_board_subtype(c.subtype);
        ks_sw_init();
        std::vector<uint32_t> log(64), asked(c.queries);
        log.resize(ksh_hw_query_log(log.data(), log.size()));
        for (uint32_t i = 0; i < c.queries; ++i) asked[i] = i;
        EXPECT_EQ(log, asked);
        const char *dir = c.bootflash ? "/bootflash" : c.what[0] == 'm' ? "/disk0" : "/flash";
        EXPECT_EQ(names(), std::string(dir) + "/private-KS1 " + dir + "/private-KS2");
        expect_path_trace(c.bootflash ? dir : nullptr);
    }
}

// The ifs_ wrappers against a fresh temporary directory.
class FileWrapperTest : public kstest::KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        char tmpl[] = "/tmp/ks_ifs_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        KeystoreTest::TearDown();
    }
    std::string dir_;
};

TEST_F(FileWrapperTest, WriteSeekSizeReadRemoveMkdir) {
    const std::string file = dir_ + "/keys", sub = dir_ + "/sub";
    uint8_t data[100], back[128] = {};
    for (int i = 0; i < 100; ++i) data[i] = static_cast<uint8_t>(i * 7);
    int32_t fd = ifs_open(file.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ifs_fd_get_size(fd), 0);
    EXPECT_EQ(ifs_write(fd, data, sizeof data), 100);
    // From the middle of the file: the size, and the position back at 0.
    EXPECT_EQ(ifs_lseek(fd, 37, SEEK_SET), 37);
    EXPECT_EQ(ifs_fd_get_size(fd), 100);
    EXPECT_EQ(ifs_read(fd, back, sizeof back), 100);
    EXPECT_EQ(std::memcmp(back, data, sizeof data), 0);
    EXPECT_EQ(ifs_lseek(fd, -10, SEEK_END), 90);
    EXPECT_EQ(ifs_close(fd), 0);
    EXPECT_EQ(ifs_remove(file.c_str()), 0);
    struct stat st;
    EXPECT_NE(stat(file.c_str(), &st), 0);

    mode_t old = umask(0);
    ASSERT_EQ(ifs_mkdir(sub.c_str()), 0);
    umask(old);
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & (S_IFMT | 07777), S_IFDIR | 0700u);  // owner only
    errno = 0;
    EXPECT_EQ(ifs_close(-1), 0);  // calls nothing: close(-1) would fail with EBADF
    EXPECT_EQ(errno, 0);
    for (int e : {ENOENT, EACCES, 0}) EXPECT_STREQ(ifs_strerror(e), std::strerror(e));
}

TEST_F(FileWrapperTest, FailuresPassTheSystemResultThrough) {
    const std::string missing = dir_ + "/missing";
    uint8_t b[4] = {};
    const std::pair<std::function<int32_t()>, int> cases[] = {
        {[&] { return ifs_open(missing.c_str(), O_RDONLY, 0); }, ENOENT},
        {[&] { return ifs_remove(missing.c_str()); }, ENOENT},
        {[&] { return ifs_mkdir(dir_.c_str()); }, EEXIST},
        {[] { return ifs_close(1000000); }, EBADF},
        {[&] { return ifs_read(1000000, b, sizeof b); }, EBADF},
        {[&] { return ifs_write(1000000, b, sizeof b); }, EBADF},
        {[] { return ifs_lseek(1000000, 0, SEEK_SET); }, EBADF},
        {[] { return ifs_fd_get_size(1000000); }, EBADF},
    };
    int i = 0;
    for (const auto &[call, err] : cases) {
        errno = 0;
        EXPECT_EQ(call(), -1) << i;
        EXPECT_EQ(errno, err) << i++;
    }
}

}  // namespace
