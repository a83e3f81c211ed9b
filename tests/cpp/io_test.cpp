#include "io.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <string>

namespace rsvelmo {
namespace {

// Reads the text as a GMT file, through a temporary file.
Result<PathwayDb> read_text(const std::string& content, const GmtLimits& limits = {}) {
    const std::string path = ::testing::TempDir() + "rsvelmo_io_test_" + std::to_string(::getpid()) + ".gmt";
    std::ofstream(path, std::ios::binary) << content;
    auto db = read_gmt(path, limits);
    std::remove(path.c_str());
    return db;
}

TEST(GmtFile, FieldsGenesAndDescriptions) {
    auto db = read_text("P1\t\tG1\t G2 \t\tG1\n P1 \tdesc\tG1\nP2\tdesc\t\nP2\t \tX\r\n");
    ASSERT_TRUE(db.ok()) << db.error();
    const auto& p = db.value().pathways;
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[0].name, "P1");
    EXPECT_FALSE(p[0].description);
    EXPECT_EQ(p[0].genes, (std::vector<std::string>{"G1", "G2", "G1"}));
    EXPECT_EQ(p[1].name, " P1 ");
    EXPECT_EQ(p[1].description, "desc");
    EXPECT_TRUE(p[2].genes.empty());
    EXPECT_EQ(p[3].description, " ");                        // blanks are kept in the description
    EXPECT_EQ(p[3].genes, (std::vector<std::string>{"X"}));  // CR removed
}

TEST(GmtFile, UnicodeWhiteSpaceIsTrimmedButTheBomIsNot) {
    auto db = read_text("\xEF\xBB\xBFP\td\t\xC2\xA0G1\xE3\x80\x80\t\xE2\x80\xA8\n");
    ASSERT_TRUE(db.ok()) << db.error();
    EXPECT_EQ(db.value().pathways[0].name, "\xEF\xBB\xBFP");
    EXPECT_EQ(db.value().pathways[0].genes, (std::vector<std::string>{"G1"}));
}

TEST(GmtFile, EmptyBlankAndMalformedFiles) {
    EXPECT_TRUE(read_text("").value().pathways.empty());
    EXPECT_TRUE(read_text("\n \t \n\r\n").value().pathways.empty());
    // Blank lines count: the third line is the short one.
    EXPECT_EQ(read_text("\n \t \nA\tB\n").error(), "Malformed GMT line 3: expected at least 3 tab-separated columns.");
    std::string genes;
    for (int i = 0; i < 3000; ++i) genes += "\tGENE" + std::to_string(i);  // spans several 8192-byte reads
    auto db = read_text("P\td" + genes + "\nQ\td\tZ");                     // and no newline at the end
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db.value().pathways[0].genes.size(), 3000u);
    EXPECT_EQ(db.value().pathways[1].genes, (std::vector<std::string>{"Z"}));
}

TEST(GmtFile, InvalidUtf8) {
    EXPECT_EQ(read_text("P\td\tG\xFF\n").error(), "stream did not contain valid UTF-8");
    EXPECT_EQ(read_text("P\td\t\xED\xA0\x80\n").error(), "stream did not contain valid UTF-8");  // surrogate
}

TEST(ReadGmt, OperatingSystemErrorsAndSpecialFiles) {
    EXPECT_EQ(read_gmt("/nonexistent/file.gmt").error(), "No such file or directory (os error 2)");
    EXPECT_EQ(read_gmt("").error(), "No such file or directory (os error 2)");
    EXPECT_EQ(read_gmt("/tmp").error(), "Is a directory (os error 21)");
    EXPECT_EQ(read_gmt(std::string("a\0b", 3)).error(), "file name contained an unexpected NUL byte");
    EXPECT_TRUE(read_gmt("/dev/null").value().pathways.empty());
    const std::string fifo = ::testing::TempDir() + "rsvelmo_fifo_" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto db = read_gmt(fifo);  // no writer: must not wait for one
    unlink(fifo.c_str());
    EXPECT_TRUE(db.value().pathways.empty());
}

// Each limit of the reader at a size a test can write: the longest line,
// field and text it takes, and one byte more, which is refused naming the
// line (0: the whole text).
struct LimitCase {
    const char* what;
    GmtLimits limits;
    std::string text;
    std::uint64_t line;   // of the refusal; ignored when accepted
    const char* message;  // nullptr: accepted
};

TEST(GmtLimits, EachLimitTakesItsSizeAndRefusesOneByteMore) {
    const std::string ok_line = "P\td\t" + std::string(26, 'G');  // 30 bytes
    const LimitCase cases[] = {
        {"line at the limit", {30, 64, 1024}, ok_line + "\n", 0, nullptr},
        {"line one byte over",
         {29, 64, 1024},
         "A\tB\tC\n" + ok_line + "\n",
         2,
         "a line longer than 29 bytes: not a GMT file?"},
        {"line without an end",
         {29, 64, 1 << 20},
         std::string(100000, 'x'),
         1,
         "a line longer than 29 bytes: not a GMT file?"},
        {"CR LF line at the limit", {30, 64, 1024}, ok_line + "\r\n", 0, nullptr},
        {"field at the limit", {1024, 26, 1024}, ok_line + "\n", 0, nullptr},
        {"field one byte over", {1024, 25, 1024}, ok_line + "\n", 1, "field 3 longer than 25 bytes: not a GMT file?"},
        {"name over", {1024, 3, 1024}, "PPPP\td\tG\n", 1, "field 1 longer than 3 bytes: not a GMT file?"},
        {"text at the limit", {1024, 64, 62}, ok_line + "\n" + ok_line + "\n", 0, nullptr},
        {"text one byte over",
         {1024, 64, 61},
         ok_line + "\n" + ok_line + "\n",
         0,
         "the text longer than 61 bytes: not a GMT file?"},
    };
    for (const LimitCase& c : cases) {
        const auto db = read_text(c.text, c.limits);
        if (c.message == nullptr) {
            EXPECT_TRUE(db.ok()) << c.what << ": " << (db.ok() ? "" : db.error());
            continue;
        }
        ASSERT_FALSE(db.ok()) << c.what;
        EXPECT_EQ(db.failure().kind, Error::Kind::Malformed) << c.what;
        EXPECT_EQ(db.failure().line, c.line) << c.what;
        EXPECT_EQ(db.error(), c.message) << c.what;
    }
}

// /dev/zero has no line end and no end at all: the default limits stop it
// after 16 MiB with the message of a line too long.
TEST(GmtLimits, DevZeroIsRefusedAfterOneLine) {
    const auto db = read_gmt("/dev/zero");
    ASSERT_FALSE(db.ok());
    EXPECT_EQ(db.error(), "a line longer than 16 MiB: not a GMT file?");
    EXPECT_EQ(db.failure().line, 1u);
}

}  // namespace
}  // namespace rsvelmo
