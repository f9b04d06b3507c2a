// SPDX-License-Identifier: Apache-2.0
// An interpreter of keystore calls written as data: the table-driven tests
// (hostile input, allocation sweep, secret hygiene) keep their cases as rows
// of text, one call per row, and run them through it.
//
// A row is the operation's exported name and one token per parameter:
//   @null      a null pointer
//   @outN      an output buffer, guard bytes after the N bytes the call may
//              write (@out@K: as many as parameter K says, @out%K: its low
//              16 bits)
//   @p         where the call hands a block out (T **), released afterwards
//   @reply     a structured show reply
//   "#"        the length of the bytes of the parameter before it
//   ""         no bytes, at a non-null address
//   a number   decimal or 0x hex; for a writable integer pointer, its start
//   bytes      parts joined by '+', each "x:HEX", "h1:NAME" or "h2:NAME" (a
//              key handle of type 1 or 2) or text, and each optionally "*N"
//              (repeated N times); passed as a writable copy
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "keystore/keystore.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/showmsg.h"

namespace ksops {

constexpr char kGuard = static_cast<char>(0xA5);

// The bytes a token stands for.
inline std::string bytes_of(const std::string &token) {
    std::string out, part;
    for (std::stringstream parts(token == "\"\"" ? "" : token); std::getline(parts, part, '+');) {
        const size_t star = part.rfind('*');
        size_t times = 1;
        if (star != std::string::npos && star + 1 < part.size() &&
            part.find_first_not_of("0123456789", star + 1) == std::string::npos)
            times = std::stoul(part.substr(star + 1)), part.resize(star);
        std::string one =
            part.rfind("h1:", 0) == 0 || part.rfind("h2:", 0) == 0 ? char(part[1] - '0') + part.substr(3) : part;
        if (part.rfind("x:", 0) == 0) {
            one.clear();
            for (size_t i = 2; i + 1 < part.size(); i += 2)
                one += static_cast<char>(std::stoul(part.substr(i, 2), nullptr, 16));
        }
        for (size_t i = 0; i < times; ++i) out += one;
    }
    return out;
}

struct Arg {
    std::string token, data, original;  // data: the bytes passed; original: as before the call
    bool numeric = false;
    uint64_t num = 0, word = 0;  // a number, and the integer a pointer parameter reads and writes
    size_t out_len = 0;          // outputs: the bytes the call may write
    void *block = nullptr, *reply = nullptr;
    // The parameter the function takes, by its type and the token.
    template <class T>
    operator T() {
        using V = std::remove_pointer_t<T>;
        if constexpr (!std::is_pointer_v<T>)
            return static_cast<T>(num);
        else if (token == "@null")
            return nullptr;
        else if constexpr (std::is_pointer_v<V>)
            return reinterpret_cast<T>(&(block = &block));  // nothing handed out yet
        else if constexpr (std::is_const_v<V>)
            return reinterpret_cast<T>(data.data());
        else
            return static_cast<T>(reply ? reply : numeric ? (word = num, static_cast<void *>(&word)) : data.data());
    }
};

using Invoke = std::function<int64_t(std::vector<Arg> &)>;
template <class R, class... P>
std::pair<Invoke, size_t> wrap(R (*fn)(P...)) {
    return {[fn](std::vector<Arg> &a) -> int64_t {
                return [&]<size_t... I>(std::index_sequence<I...>)->int64_t {
                    if constexpr (std::is_void_v<R>)
                        return fn(a[I]...), 0;
                    else
                        return static_cast<int64_t>(fn(a[I]...));
                }
                (std::index_sequence_for<P...>{});
            },
            sizeof...(P)};
}

// The structured show as a call with a result: the builder's error word.
inline int32_t show(void *reply) {
    int32_t err = 0;
    return qel_ks_show_command(reinterpret_cast<uintptr_t>(reply), 0, reply, &err), err;
}

// The operations by name: each function's name is its argument's text.
template <class... F>
std::map<std::string, std::pair<Invoke, size_t>> by_name(const std::string &names, F... fn) {
    std::map<std::string, std::pair<Invoke, size_t>> table;
    std::stringstream in(names);
    std::string name;
    ((std::getline(in >> std::ws, name, ','), table.emplace(name, wrap(fn))), ...);
    return table;
}
#define KS_BY_NAME(...) by_name(#__VA_ARGS__, __VA_ARGS__)
inline const std::map<std::string, std::pair<Invoke, size_t>> &ops() {
    static const auto table = [] {
        auto t = KS_BY_NAME(
            ks_generate_random_number, ks_secret_exists, ks_check_ha_consistency, ks_add_metadata,
            ks_store_secret_and_metadata, ks_return_metadata, ks_clear_secret, ks_rename_secret,
            ks_return_secret_handle_by_index, ks_snmp_password_exists, ks_snmp_get_next_password, keystore_return_wdc,
            ks_hmac_md5, ks_hmac_sha1, ks_md5_hash, ks_sha1_hash, ks_sw_hmac, ks_sw_hash, ks_aes_encrypt,
            ks_aes_decrypt, ks_aes_cbc_encrypt, ks_aes_cbc_decrypt, ks_des_ecb_encrypt, ks_des_ecb_decrypt,
            ks_3des_ecb_encrypt, ks_3des_ecb_decrypt, ks_sw_aes, ks_sw_aes_cbc, ks_sw_des_crypt, ks_sw_3des_crypt,
            ks_GenerateNTResponse, ks_GenerateAuthenticatorResponse, ks_GetMasterKey,
            ks_NewPasswordEncryptedWithOldNtPasswordHash, ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash,
            ks_sw_GenerateNTResponse, ks_sw_GenerateAuthenticatorResponse, ks_sw_GetMasterKey,
            ks_sw_NewPasswordEncryptedWithOldNtPasswordHash, ks_sw_OldNtPasswordHashEncryptedWithNewNtPasswordHash,
            ks_store_pac, ks_clear_pac, ks_pac_exists, ks_snmp_pac_exists, ks_return_aid_by_index, ks_snmp_get_next_pac,
            ks_return_pac_opaque, ks_return_pac_info, ks_pac_cache_purge, ks_sw_sym_key_t_prf, ks_pac_key_t_prf,
            ks_pac_check_cache_entry_for_shared_keys, ks_pac_shared_keys_t_prf, ks_valid_pac_exists,
            ks_get_pac_expiration, ks_clear_old_pacs, ks_clear_old_pacs_internal, ks_clear_all_pacs,
            ks_sw_delete_old_pacs, ks_sym_key_insert, ks_sw_store_sym_key, ks_sw_add_sym_key_meta, ks_sw_add_meta_data,
            ks_sw_get_sym_key_meta, ks_sw_get_meta_data, ks_sw_rename_key, ks_sw_return_key_handle_by_index,
            ks_sw_delete_key, ks_sw_generate_random_number, ks_sym_key_prefix_purge, ks_sw_delete_all_keys_by_type,
            ks_compact_fw_memory, ks_return_fw_version_and_status, ks_dump_eeprom, ks_write_eeprom_byte,
            ks_use_sw_emulation, ks_show_command);
        t.emplace("qel_ks_show_command", wrap(show));
        return t;
    }();
    return table;
}
#undef KS_BY_NAME

// One call, read from a row's tokens; it releases what it was handed.
struct Call {
    std::pair<Invoke, size_t> op;
    std::vector<Arg> args;
    ksh_showmsg_reply *reply = nullptr;

    explicit Call(const std::vector<std::string> &tokens) : op(ops().at(tokens.at(0))), args(tokens.size() - 1) {
        if (args.size() != op.second) throw std::runtime_error(tokens[0] + ": wrong number of arguments");
        for (size_t i = 0; i < args.size(); ++i) {
            Arg &a = args[i];
            a.token = tokens[i + 1];
            size_t end = a.token == "#";
            a.num = end                                      ? args[i - 1].data.size()
                    : a.token[0] >= '0' && a.token[0] <= '9' ? std::stoull(a.token, &end, 0)
                                                             : 0;
            a.numeric = end == a.token.size();
            if (a.token == "@reply") a.reply = reply = ksh_showmsg_reply_new();
            if (a.token.rfind("@out", 0) == 0)
                a.data.assign(65536 + 64, kGuard);
            else if (a.token[0] != '@')
                a.data = bytes_of(a.token);
            a.original = a.data;
        }
        for (Arg &a : args) {
            const std::string size = a.token.substr(std::min<size_t>(a.token.size(), 4));
            if (a.token.rfind("@out", 0) != 0 || size.empty()) continue;
            a.out_len = size[0] == '@' || size[0] == '%' ? args[std::stoul(size.substr(1))].num : std::stoul(size);
            a.out_len = size[0] == '%' ? a.out_len & 0xFFFF : std::min<size_t>(a.out_len, 65536);
        }
    }
    ~Call() { release(); }

    int64_t run() { return op.first(args); }
    // Outputs and byte arguments as they were before the call.
    bool untouched() const {
        return std::all_of(args.begin(), args.end(), [](const Arg &a) { return a.data == a.original; });
    }
    // No output got more bytes than the operation may write.
    bool guards_intact() const {
        return std::all_of(args.begin(), args.end(), [](const Arg &a) {
            return a.token.rfind("@out", 0) != 0 || a.data.find_first_not_of(kGuard, a.out_len) == std::string::npos;
        });
    }
    std::string output(size_t i) const { return args[i].data.substr(0, args[i].out_len); }
    void release() {
        for (Arg &a : args)
            if (a.block != nullptr && a.block != &a.block) tagged_free(std::exchange(a.block, nullptr));
        if (reply != nullptr) ksh_showmsg_reply_free(std::exchange(reply, nullptr));
    }
};

// The rows of a data file: whitespace-separated tokens; blank lines and
// lines starting with '#' are skipped.
inline std::vector<std::vector<std::string>> read_rows(const std::string &path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        std::stringstream words(line);
        std::vector<std::string> row{std::istream_iterator<std::string>(words), {}};
        if (!row.empty() && row[0][0] != '#') rows.push_back(row);
    }
    return rows;
}

// The exported names of the library (the lists in tests/abi/exports) that
// none of the listed names covers; a listed name ending in '_' covers every
// name it begins.
inline std::vector<std::string> uncovered(const std::set<std::string> &listed) {
    std::vector<std::string> out;
    for (const auto &file : std::filesystem::directory_iterator(std::string(KS_TEST_DATA_DIR) + "/abi/exports/")) {
        for (const auto &row : read_rows(file.path())) {
            bool found = listed.count(row[0]) != 0;
            for (const std::string &p : listed) found |= p.back() == '_' && row[0].rfind(p, 0) == 0;
            if (!found) out.push_back(row[0]);
        }
    }
    return out;
}

// Status names as ks_err_str prints them, or numbers.
inline int64_t status_of(const std::string &s) {
    for (int32_t v = 0; v <= 34; ++v)
        if (s == ks_err_str(v)) return v;
    return std::stoll(s, nullptr, 0);
}

}  // namespace ksops
