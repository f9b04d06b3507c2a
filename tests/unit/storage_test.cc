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
const std::string kSymAtLoad = ks_sw_sym_key_fname;
const std::string kRsaAtLoad = ks_sw_rsa_key_fname;

class StorageTest : public kstest::KeystoreTest {
  protected:
    // Checks that exactly one trace was recorded: the path trace naming dir.
    static void expect_one_path_trace(const char *dir) {
        ASSERT_EQ(ksh_trace_count(), 1u);
        const ksh_trace_record *t = ksh_trace_at(0);
        EXPECT_EQ(t->table, 2);
        EXPECT_EQ(t->index, 0u);
        EXPECT_EQ(t->module_id, trace_module_ids[3]);
        EXPECT_EQ(t->level, 0x7000000u);
        ASSERT_EQ(t->nargs, 1);
        EXPECT_EQ(t->args[0].kind, 's');
        EXPECT_STREQ(t->args[0].s, dir);
    }
    static std::vector<uint32_t> queries() {
        std::vector<uint32_t> log(64);
        log.resize(ksh_hw_query_log(log.data(), log.size()));
        return log;
    }
};

TEST_F(StorageTest, NamesAtLoad) {
    EXPECT_EQ(kSymAtLoad, "/flash/private-KS1");
    EXPECT_EQ(kRsaAtLoad, "/flash/private-KS2");
}

TEST_F(StorageTest, SetFsRebuildsBothNamesUnderTheDirectory) {
    const std::string dir66(66, 'd');  // 66 + 12 = 78: fits
    const std::string dir67(67, 'd');  // 79: fits exactly
    const std::string dir68(68, 'd');  // 80: the last character is cut
    const std::string dir90(90, 'd');  // the directory alone is over 79
    struct Case {
        std::string dir, sym, rsa;
    } cases[] = {
        {"/disk0", "/disk0/private-KS1", "/disk0/private-KS2"},
        {"/disk0/", "/disk0//private-KS1", "/disk0//private-KS2"},
        {"", "/private-KS1", "/private-KS2"},
        {dir66, dir66 + "/private-KS1", dir66 + "/private-KS2"},
        {dir67, dir67 + "/private-KS1", dir67 + "/private-KS2"},
        {dir68, dir68 + "/private-KS", dir68 + "/private-KS"},
        {dir90, dir90.substr(0, 79), dir90.substr(0, 79)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.dir);
        ksh_trace_clear();
        ks_sw_set_fs(c.dir.c_str());
        EXPECT_EQ(ks_sw_sym_key_fname, c.sym);
        EXPECT_EQ(ks_sw_rsa_key_fname, c.rsa);
        expect_one_path_trace(c.dir.c_str());
    }
}

TEST_F(StorageTest, SecondNameDoesTheSameAndNullChangesNothing) {
    ks_set_sw_storage_fs("/disk1");
    EXPECT_STREQ(ks_sw_sym_key_fname, "/disk1/private-KS1");
    EXPECT_STREQ(ks_sw_rsa_key_fname, "/disk1/private-KS2");
    expect_one_path_trace("/disk1");

    ksh_trace_clear();
    ks_sw_set_fs(nullptr);
    EXPECT_STREQ(ks_sw_sym_key_fname, "/disk1/private-KS1");
    EXPECT_EQ(ksh_trace_count(), 0u);
}

TEST_F(StorageTest, InitAsksFamiliesInOrderUntilTheFirstYesThenTheSubtype) {
    std::vector<uint32_t> all(31);
    for (uint32_t i = 0; i < 31; ++i) all[i] = i;
    struct Case {
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
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kstest::reset_keystore();
        ksh_set_hw_models(c.models);
        ksh_set_board_subtype(c.subtype);
        ks_sw_init();
        EXPECT_EQ(queries(), std::vector<uint32_t>(all.begin(), all.begin() + c.queries));
        if (c.bootflash) {
            EXPECT_STREQ(ks_sw_sym_key_fname, "/bootflash/private-KS1");
            EXPECT_STREQ(ks_sw_rsa_key_fname, "/bootflash/private-KS2");
            expect_one_path_trace("/bootflash");
        } else {
            EXPECT_STREQ(ks_sw_sym_key_fname, "/flash/private-KS1");
            EXPECT_STREQ(ks_sw_rsa_key_fname, "/flash/private-KS2");
            EXPECT_EQ(ksh_trace_count(), 0u);
        }
    }
}

TEST_F(StorageTest, InitLeavesAMovedLocationAloneOffBootflashBoards) {
    ks_sw_set_fs("/disk0");
    ksh_trace_clear();
    ks_sw_init();
    EXPECT_STREQ(ks_sw_sym_key_fname, "/disk0/private-KS1");
    EXPECT_EQ(ksh_trace_count(), 0u);
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
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
        KeystoreTest::TearDown();
    }
    std::string path(const char *name) const { return dir_ + "/" + name; }
    std::string dir_;
};

TEST_F(FileWrapperTest, WriteSeekSizeReadRemove) {
    const std::string file = path("keys");
    uint8_t data[100];
    for (int i = 0; i < 100; ++i) data[i] = static_cast<uint8_t>(i * 7);

    int32_t fd = ifs_open(file.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ifs_fd_get_size(fd), 0);
    EXPECT_EQ(ifs_write(fd, data, sizeof data), 100);
    // From the middle of the file: the size, and the position back at 0.
    EXPECT_EQ(ifs_lseek(fd, 37, SEEK_SET), 37);
    EXPECT_EQ(ifs_lseek(fd, 3, SEEK_CUR), 40);
    EXPECT_EQ(ifs_fd_get_size(fd), 100);
    EXPECT_EQ(ifs_lseek(fd, 0, SEEK_CUR), 0);
    uint8_t back[128] = {};
    EXPECT_EQ(ifs_read(fd, back, sizeof back), 100);
    EXPECT_EQ(std::memcmp(back, data, sizeof data), 0);
    EXPECT_EQ(ifs_read(fd, back, sizeof back), 0);
    EXPECT_EQ(ifs_lseek(fd, -10, SEEK_END), 90);
    EXPECT_EQ(ifs_close(fd), 0);

    EXPECT_EQ(ifs_remove(file.c_str()), 0);
    struct stat st;
    EXPECT_NE(stat(file.c_str(), &st), 0);
}

TEST_F(FileWrapperTest, CloseOfMinusOneCallsNothing) {
    errno = 0;
    EXPECT_EQ(ifs_close(-1), 0);  // close(-1) itself would fail with EBADF
    EXPECT_EQ(errno, 0);
}

TEST_F(FileWrapperTest, MkdirIsOwnerOnly) {
    const std::string sub = path("sub");
    mode_t old = umask(0);
    int32_t r = ifs_mkdir(sub.c_str());
    umask(old);
    ASSERT_EQ(r, 0);
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(FileWrapperTest, FailuresPassTheSystemResultThrough) {
    const std::string missing = path("missing");
    const std::string sub = path("sub");
    ASSERT_EQ(ifs_mkdir(sub.c_str()), 0);
    uint8_t b[4] = {};
    struct Case {
        const char *what;
        std::function<int32_t()> call;
        int err;
    } cases[] = {
        {"open missing", [&] { return ifs_open(missing.c_str(), O_RDONLY, 0); }, ENOENT},
        {"remove missing", [&] { return ifs_remove(missing.c_str()); }, ENOENT},
        {"mkdir existing", [&] { return ifs_mkdir(sub.c_str()); }, EEXIST},
        {"close bad", [] { return ifs_close(1000000); }, EBADF},
        {"read bad", [&] { return ifs_read(1000000, b, sizeof b); }, EBADF},
        {"write bad", [&] { return ifs_write(1000000, b, sizeof b); }, EBADF},
        {"lseek bad", [] { return ifs_lseek(1000000, 0, SEEK_SET); }, EBADF},
        {"size bad", [] { return ifs_fd_get_size(1000000); }, EBADF},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        errno = 0;
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(errno, c.err);
    }
}

TEST_F(FileWrapperTest, StrerrorIsTheSystemText) {
    for (int e : {ENOENT, EACCES, EBADF, 0}) EXPECT_STREQ(ifs_strerror(e), std::strerror(e));
}

}  // namespace
