// SPDX-License-Identifier: Apache-2.0
// Test data files, one loader for all. Vector files under tests/vectors:
// records of "Name = value" lines separated by blank lines; value() reads a
// value written as hex, as "text", or as hex*N (N repetitions). Row files
// under tests/data: one row a line, tokens separated by spaces, a token may
// hold a double-quoted string with C escapes (\n, \\, \") that is replaced
// by its contents. In both, lines starting with '#' are comments.
#pragma once

#include <cctype>
#include <fstream>
#include <iterator>

#include "ks_test_util.h"

namespace kstest {

using VectorRecord = std::map<std::string, std::string>;
using DataRow = std::vector<std::string>;

inline std::vector<std::string> data_lines(const std::string &path) {
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << "cannot open " << path;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (line.empty() || line[0] != '#') lines.push_back(line);
    return lines;
}

inline std::vector<VectorRecord> read_vectors(const std::string &file) {
    std::vector<VectorRecord> records(1);
    for (const std::string &line : data_lines(std::string(KS_TEST_VECTORS_DIR) + "/" + file)) {
        const size_t eq = line.find(" =");
        if (line.empty() && !records.back().empty()) records.emplace_back();
        if (eq != std::string::npos) records.back()[line.substr(0, eq)] = line.substr(std::min(eq + 3, line.size()));
    }
    if (records.back().empty()) records.pop_back();
    return records;
}

inline Bytes value(const std::string &v) {  // in hex, spaces and separators are skipped
    if (!v.empty() && v.front() == '"') return bytes(v.substr(1, v.size() - 2));
    const size_t star = v.find('*');
    std::string digits;
    std::copy_if(v.begin(), v.begin() + std::min(star, v.size()), std::back_inserter(digits), ::isxdigit);
    Bytes one, out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        one.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    for (int n = star == std::string::npos ? 1 : std::stoi(v.substr(star + 1)); n > 0; --n) out = cat(out, one);
    return out;
}

inline std::vector<DataRow> read_rows(const std::string &file) {
    std::vector<DataRow> rows;
    for (const std::string &line : data_lines(std::string(KS_TEST_DATA_DIR) + "/data/" + file)) {
        DataRow row;
        bool in_token = false, quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (!quoted && c == ' ')
                in_token = false;
            else if (!in_token)
                row.emplace_back(), in_token = true, --i;  // the token starts here: read c again
            else if (c == '"')
                quoted = !quoted;
            else
                row.back() += quoted && c == '\\' && i + 1 < line.size() ? (line[++i] == 'n' ? '\n' : line[i]) : c;
        }
        if (!row.empty()) rows.push_back(row);
    }
    return rows;
}

}  // namespace kstest
