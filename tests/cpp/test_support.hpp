// Helpers shared by the C++ tests.
#pragma once

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

inline double from_bits(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// One line of a JSON-lines fixture whose values are numbers, strings or flat
// arrays of them; every value is kept as its list of raw tokens.
using FlatJson = std::map<std::string, std::vector<std::string>>;

inline std::vector<FlatJson> read_flat_jsonl(const std::string& path) {
    std::vector<FlatJson> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        FlatJson row;
        std::size_t i = 0;
        const auto skip = [&] {
            while (i < line.size() && std::strchr(" ,{}:", line[i])) ++i;
        };
        const auto token = [&] {
            std::string t;
            if (line[i] == '"') {
                const std::size_t end = line.find('"', i + 1);
                t = line.substr(i + 1, end - i - 1);
                i = end + 1;
            } else {
                while (i < line.size() && !std::strchr(",]} ", line[i])) t += line[i++];
            }
            return t;
        };
        skip();
        while (i < line.size()) {
            const std::string key = token();
            skip();
            std::vector<std::string> values;
            if (line[i] == '[') {
                ++i;
                while (line[i] != ']') {
                    while (line[i] == ' ' || line[i] == ',') ++i;
                    if (line[i] == ']') break;
                    values.push_back(token());
                }
                ++i;
            } else {
                values.push_back(token());
            }
            row[key] = values;
            skip();
        }
        if (!row.empty()) rows.push_back(row);
    }
    return rows;
}

inline std::string data_path(const std::string& name) { return std::string(RSVELMO_TEST_DATA) + "/" + name; }

}  // namespace rsvelmo::testing
