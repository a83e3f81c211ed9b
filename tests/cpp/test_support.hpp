// Helpers shared by the C++ tests.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace rsvelmo::testing {

inline std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// One line of a JSON-lines fixture whose values are numbers, hex strings or
// flat arrays of them: every key (a word starting with a letter) with the raw
// tokens that follow it.
using FlatJson = std::map<std::string, std::vector<std::string>>;

inline std::vector<FlatJson> read_flat_jsonl(const std::string& path) {
    std::vector<FlatJson> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        for (char& c : line)
            if (std::strchr("{}[]:,\"", c)) c = ' ';
        std::istringstream tokens(line);
        FlatJson row;
        std::string token, key;
        while (tokens >> token) {
            if (std::isalpha(static_cast<unsigned char>(token[0])))
                row[key = token];
            else
                row[key].push_back(token);
        }
        if (!row.empty()) rows.push_back(row);
    }
    return rows;
}

inline std::string data_path(const std::string& name) { return std::string(RSVELMO_TEST_DATA) + "/" + name; }

}  // namespace rsvelmo::testing
