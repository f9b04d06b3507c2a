// Test vector files under tests/vectors: records of "Name = value" lines,
// separated by blank lines; lines starting with '#' are comments.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace kstest {

using VectorRecord = std::map<std::string, std::string>;

inline std::vector<VectorRecord> read_vectors(const std::string &file) {
    std::vector<VectorRecord> records;
    std::ifstream in(std::string(KS_TEST_VECTORS_DIR) + "/" + file);
    EXPECT_TRUE(in.good()) << "cannot open " << file;
    VectorRecord current;
    std::string line;
    auto flush = [&] {
        if (!current.empty()) records.push_back(current);
        current.clear();
    };
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) {
            flush();
            continue;
        }
        if (line[0] == '#') continue;
        size_t eq = line.find(" = ");
        if (eq == std::string::npos) continue;
        current[line.substr(0, eq)] = line.substr(eq + 3);
    }
    flush();
    return records;
}

}  // namespace kstest
