#include "io.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <variant>

namespace rsvelmo {

namespace {

constexpr std::size_t kReadBufferSize = 8192;

// Closes the descriptor it owns.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// A zlib reader over a duplicate of a descriptor: it inflates gzip data and
// passes anything else through unchanged. Closes what it owns.
class GzReader {
public:
    explicit GzReader(int fd) {
        const int own = ::dup(fd);
        if (own >= 0) {
            gz_ = ::gzdopen(own, "rb");
            if (gz_ == nullptr) ::close(own);
        }
    }
    GzReader(const GzReader&) = delete;
    GzReader& operator=(const GzReader&) = delete;
    ~GzReader() {
        if (gz_ != nullptr) ::gzclose(gz_);
    }
    gzFile get() const { return gz_; }

private:
    gzFile gz_ = nullptr;
};

Error os_error(int err, const std::string& path) {
    return Error::io(err, path, std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")");
}

// Strict UTF-8 validation: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (end - p < len) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (int i = 2; i < len; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF) return false;
        }
        p += len;
    }
    return true;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Decodes the code point starting at s[i] of valid UTF-8 and returns its length.
std::size_t decode_at(std::string_view s, std::size_t i, char32_t& out) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t v = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < len; ++k) v = (v << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out = v;
    return len;
}

std::string_view trim_white_space(std::string_view s) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        char32_t c;
        const std::size_t len = decode_at(s, begin, c);
        if (!is_white_space(c)) break;
        begin += len;
    }
    std::size_t end = s.size();
    while (end > begin) {
        std::size_t start = end - 1;  // step back to the lead byte of the last code point
        while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        char32_t c;
        decode_at(s, start, c);
        if (!is_white_space(c)) break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

// 16 MiB, 1 GiB, or the bytes when not a whole number of MiB.
std::string size_text(std::uint64_t bytes) {
    constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
    if (bytes >= (kMiB << 10) && bytes % (kMiB << 10) == 0) return std::to_string(bytes >> 30) + " GiB";
    if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

std::string too_long(const char* what, std::uint64_t limit) {
    return std::string(what) + " longer than " + size_text(limit) + ": not a GMT file?";
}

std::string malformed(std::size_t line_number) {
    return "Malformed GMT line " + std::to_string(line_number) + ": expected at least 3 tab-separated columns.";
}

// Parses one line (line feed and carriage return removed); nullopt for a
// blank line, or the message of what is wrong with it.
using ParsedLine = std::variant<std::optional<Pathway>, std::string>;

ParsedLine parse_line(std::string_view line, std::size_t line_number, const GmtLimits& limits) {
    if (line.size() > limits.line) return too_long("a line", limits.line);
    if (!valid_utf8(line)) return "stream did not contain valid UTF-8";
    if (trim_white_space(line).empty()) return std::optional<Pathway>{};

    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) {
            fields.push_back(line.substr(start));
            break;
        }
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    if (fields.size() < 3) return malformed(line_number);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].size() > limits.field) {
            return too_long(("field " + std::to_string(i + 1)).c_str(), limits.field);
        }
    }

    Pathway pathway;
    pathway.line = line_number;
    pathway.name = std::string(fields[0]);
    if (!fields[1].empty()) pathway.description = std::string(fields[1]);
    for (std::size_t i = 2; i < fields.size(); ++i) {
        const std::string_view gene = trim_white_space(fields[i]);
        if (!gene.empty()) pathway.genes.emplace_back(gene);
    }
    return std::optional<Pathway>{std::move(pathway)};
}

}  // namespace

Result<PathwayDb> read_gmt(const std::string& path, const GmtLimits& limits) {
    if (path.find('\0') != std::string::npos) {
        return Error::io(0, path, "file name contained an unexpected NUL byte");
    }
    // Opening a FIFO that no one writes to would block forever: open without
    // waiting, then read normally (such a FIFO reads as empty).
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) return os_error(errno, path);
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) return os_error(errno, path);

    PathwayDb db;
    std::string pending;  // bytes of the line being assembled
    std::size_t line_number = 0;
    const auto finish_line = [&](std::string_view line) -> std::optional<Error> {
        ++line_number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ParsedLine parsed = parse_line(line, line_number, limits);
        if (auto* why = std::get_if<std::string>(&parsed)) return Error::malformed(path, line_number, std::move(*why));
        if (auto& pathway = std::get<std::optional<Pathway>>(parsed)) db.pathways.push_back(std::move(*pathway));
        return std::nullopt;
    };

    // Gzip-compressed files (.gmt.gz) are read as their content.
    GzReader gz(file.get());
    if (gz.get() == nullptr) return os_error(errno != 0 ? errno : ENOMEM, path);
    char buffer[kReadBufferSize];
    std::uint64_t total = 0;  // bytes of text so far
    while (true) {
        errno = 0;
        const int got = ::gzread(gz.get(), buffer, sizeof buffer);
        if (got <= 0) {
            // zlib reports a stream cut short at its end as an error after the
            // last bytes, not as a failed read.
            int code = Z_OK;
            const char* message = ::gzerror(gz.get(), &code);
            if (code == Z_ERRNO) return os_error(errno != 0 ? errno : EIO, path);
            if (code != Z_OK) {
                std::string_view why(message);  // zlib prefixes "<fd:N>: "
                if (why.starts_with("<fd:")) why.remove_prefix(std::min(why.size(), why.find(": ") + 2));
                return Error::malformed(path, 0, "the gzip data is damaged or cut short: " + std::string(why));
            }
            break;
        }
        total += static_cast<std::uint64_t>(got);
        if (total > limits.file) return Error::malformed(path, 0, too_long("the text", limits.file));
        std::string_view chunk(buffer, static_cast<std::size_t>(got));
        std::size_t newline;
        while ((newline = chunk.find('\n')) != std::string_view::npos) {
            std::optional<Error> failed;
            if (pending.empty()) {
                failed = finish_line(chunk.substr(0, newline));
            } else {
                pending.append(chunk.substr(0, newline));
                failed = finish_line(pending);
                pending.clear();
            }
            if (failed) return *failed;
            chunk.remove_prefix(newline + 1);
        }
        pending.append(chunk);
        // A line without an end is refused as soon as it is too long, not
        // when the file ends (/dev/zero never does).
        if (pending.size() > limits.line) {
            return Error::malformed(path, line_number + 1, too_long("a line", limits.line));
        }
    }
    if (!pending.empty()) {
        if (auto failed = finish_line(pending)) return *failed;
    }
    return db;
}

}  // namespace rsvelmo
