// Bytes in as a GMT file: read_gmt must not crash, and every failure must be
// one of its documented messages.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "io.hpp"

namespace {

bool known_error(const std::string& m) {
    static const std::regex malformed("Malformed GMT line [1-9][0-9]*: expected at least 3 tab-separated columns\\.");
    static const std::regex os(".+ \\(os error [0-9]+\\)");
    return m == "stream did not contain valid UTF-8" || m == "file name contained an unexpected NUL byte" ||
           std::regex_match(m, malformed) || std::regex_match(m, os);
}

const std::string& scratch_path() {
    static const std::string path = "/tmp/rsvelmo_gmt_fuzz_" + std::to_string(getpid()) + ".gmt";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = scratch_path();
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        std::abort();
    }
    const auto db = rsvelmo::read_gmt(path);
    if (!db) {
        if (!known_error(db.error())) {
            std::fprintf(stderr, "unexpected error: %s\n", db.error().c_str());
            std::abort();
        }
        return 0;
    }
    for (const auto& p : db.value().pathways) {
        if (p.name.find('\n') != std::string::npos || p.name.find('\t') != std::string::npos) std::abort();
        for (const auto& g : p.genes) {
            if (g.empty() || g.find('\t') != std::string::npos || g.find('\n') != std::string::npos) std::abort();
        }
    }
    return 0;
}
