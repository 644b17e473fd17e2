// The support log: dated lines with their category, the size cap with exactly one
// previous file, a rename that fails, nothing while closed, query masking, and the
// call-control library's lines forwarded into it.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SupportLog.h"
#include "callctl.h"

namespace fs = std::filesystem;

namespace {

const size_t kMegabyte = 1024 * 1024;

// A fresh, empty folder under the working directory.
fs::path Folder(const std::string& name)
{
    fs::path p = fs::current_path() / "support-log-test" / name;
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

SupportLogPath PathOf(const fs::path& p)
{
#ifdef _WIN32
    return p.wstring();
#else
    return p.string();
#endif
}

std::string Slurp(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// The lines of a log file, without the byte order mark and the line ends.
std::vector<std::string> Lines(const fs::path& p)
{
    std::string t = Slurp(p);
    if (t.compare(0, 3, "\xEF\xBB\xBF") == 0) t.erase(0, 3);
    std::vector<std::string> out;
    std::istringstream in(t);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        out.push_back(l);
    }
    return out;
}

// "YYYY-MM-DD hh:mm:ss.mmm " before the category.
bool Dated(const std::string& l)
{
    const char* shape = "dddd-dd-dd dd:dd:dd.ddd ";
    for (size_t i = 0; shape[i]; ++i)
        if (i >= l.size() || (shape[i] == 'd' ? !std::isdigit((unsigned char)l[i]) : l[i] != shape[i])) return false;
    return true;
}

}  // namespace

TEST(SupportLog, LinesCarryTimeCategoryAndText)
{
    fs::path file = Folder("lines") / "logs" / "Quillon.log";  // its folder is made
    ASSERT_TRUE(SupportLogOpen(PathOf(file)));
    EXPECT_TRUE(SupportLogEnabled());
    struct {
        const char* category;
        std::string text, shown;
    } rows[] = {
        {"app", "sign-in started", "[app] sign-in started"},
        {"net", "two\r\nlines", "[net] two  lines"},
        {"ui", "\xE4\xB8\xAD\xE6\x96\x87 UTF-8", "[ui] \xE4\xB8\xAD\xE6\x96\x87 UTF-8"},
        // Text from outside cannot forge or hide a line.
        {"sip", "ok\x1B[1A\x1B[2K\r2024-05-01 00:00:00.000 [app] signed in",
         "[sip] ok\\x1B[1A\\x1B[2K 2024-05-01 00:00:00.000 [app] signed in"},
        {"account", "answered: ok!\xE2\x80\xAE" "gpj.exe\tend", "[account] answered: ok!\\u202Egpj.exe\tend"},
        {"account", "\xE2\x81\xA6" "a\xE2\x81\xA9\xE2\x80\xAA" "b\xE2\x80\xAC", "[account] \\u2066a\\u2069\\u202Ab\\u202C"},
        {"sip", "a\xC2\x85" "b\xE2\x80\xA8" "c\x7F", "[sip] a\\u0085b\\u2028c\\x7F"},
        {"net", "bad \xFF\xE0\x80\x8A\xC4\xFA end", "[net] bad \\xFF\\xE0\\x80\\x8A\\xC4\\xFA end"},
    };
    const size_t count = sizeof rows / sizeof rows[0];
    for (const auto& r : rows) SupportLogWrite(r.category, r.text);
    SupportLogClose();
    EXPECT_FALSE(SupportLogEnabled());
    SupportLogWrite("app", "after closing");
    ASSERT_TRUE(SupportLogOpen(PathOf(file)));  // appends
    SupportLogWrite("app", "again");
    SupportLogClose();
    std::string bytes = Slurp(file);
    EXPECT_EQ(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0);
    EXPECT_EQ(bytes.find("\xEF\xBB\xBF", 3), std::string::npos) << "one mark, at the start";
    std::vector<std::string> lines = Lines(file);
    ASSERT_EQ(lines.size(), count + 1) << bytes;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(Dated(lines[i])) << lines[i];
        EXPECT_EQ(lines[i].substr(24), i < count ? rows[i].shown : "[app] again");
    }
}

TEST(SupportLog, NothingIsWrittenWhileNotOpen)
{
    fs::path dir = Folder("closed");
    fs::path deep = dir / "a" / "b" / "Quillon.log";  // only one missing level is made
    EXPECT_FALSE(SupportLogOpen(PathOf(deep)));
    EXPECT_FALSE(SupportLogEnabled());
    SupportLogWrite("app", "lost");
    SupportLogSipLine(SIPX_LOG_INFO, "lost too", nullptr);
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST(SupportLog, CapKeepsTheFileSmallAndOnePreviousFile)
{
    struct {
        size_t cap;
        int lines;
    } rows[] = {{300, 40}, {1000, 120}};
    for (const auto& r : rows) {
        fs::path dir = Folder("cap" + std::to_string(r.cap));
        fs::path file = dir / "Quillon.log", previous = dir / "Quillon.log.1";
        SupportLogSetCap(r.cap);
        ASSERT_TRUE(SupportLogOpen(PathOf(file)));
        for (int i = 0; i < r.lines; ++i) SupportLogWrite("test", "line " + std::to_string(1000 + i));
        SupportLogClose();
        SupportLogSetCap(kMegabyte);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << r.cap;
        EXPECT_LE(fs::file_size(file), r.cap);
        EXPECT_LE(fs::file_size(previous), r.cap);
        std::vector<std::string> before = Lines(previous), now = Lines(file);
        ASSERT_FALSE(before.empty());
        ASSERT_FALSE(now.empty());
        // Renamed only when the next line would not fit.
        EXPECT_GT(fs::file_size(previous) + now[0].size() + (Slurp(file).find("\r\n") != std::string::npos ? 2 : 1),
                  r.cap);
        // The last lines written, in order, none missing.
        before.insert(before.end(), now.begin(), now.end());
        int expected = 1000 + r.lines - int(before.size());
        for (const auto& l : before) EXPECT_EQ(l.substr(24), "[test] line " + std::to_string(expected++)) << r.cap;
    }
}

TEST(SupportLog, AFailedRenameKeepsTheFullFileAndCountsWhatWasLeftOut)
{
#ifdef _WIN32
    const size_t eol = 2;
#else
    const size_t eol = 1;
#endif
    // "... [test] line 1000" and "... [test] later" after the mark: with room for seven of
    // the first and one of the second, a "later" would still fit into the full file
    // while lines are being left out; every line waits for the rename all the same.
    const size_t roomForLater = 3 + 7 * (40 + eol) + 36 + eol;
    for (const size_t cap : {size_t(300), roomForLater}) {
        SCOPED_TRACE(cap);
        fs::path dir = Folder("stuck" + std::to_string(cap));
        fs::path file = dir / "Quillon.log", previous = dir / "Quillon.log.1";
        fs::create_directories(previous / "in-the-way");  // no file can take its name
        SupportLogSetCap(cap);
        ASSERT_TRUE(SupportLogOpen(PathOf(file)));
        int writes = 0;
        for (; writes < 20; ++writes) SupportLogWrite("test", "line " + std::to_string(1000 + writes));
        std::string kept = Slurp(file);
        EXPECT_LE(kept.size(), cap);
        fs::remove_all(previous);
        // The rename is tried again a second after it failed: write until it happens.
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!fs::exists(previous) && std::chrono::steady_clock::now() < give_up) {
            SupportLogWrite("test", "later");
            ++writes;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        SupportLogClose();
        SupportLogSetCap(kMegabyte);
        ASSERT_TRUE(fs::exists(previous));
        EXPECT_EQ(Slurp(previous), kept) << "nothing written before is lost, nothing after the full file";
        std::vector<std::string> now = Lines(file);
        ASSERT_EQ(now.size(), 2u);
        int left_out = writes - int(Lines(previous).size()) - 1;
        EXPECT_EQ(now[0].substr(24), "[log] " + std::to_string(left_out) +
                                         " lines left out: the full log could not be renamed");
        EXPECT_EQ(now[1].substr(24), "[test] later");
    }
}

TEST(SupportLog, MaskQueryValueHidesOnlyThatParameter)
{
    struct {
        const char *url, *key, *masked;
    } rows[] = {
        {"http://h/login?user=80012345&pass=demo1234&v=1", "pass", "http://h/login?user=80012345&pass=***&v=1"},
        {"http://h/balance?pass=x", "pass", "http://h/balance?pass=***"},
        {"http://h/a?PASS=x&pass=y#pass=z", "pass", "http://h/a?PASS=***&pass=***#pass=z"},
        {"http://h/a?bypass=1&passwd=2&pass=", "pass", "http://h/a?bypass=1&passwd=2&pass=***"},
        {"http://h/pass=x", "pass", "http://h/pass=x"},
        {"http://h/a?pass", "pass", "http://h/a?pass"},
        {"http://h/a?pass=x", "", "http://h/a?pass=x"},
        {"http://h/a?pass=x", nullptr, "http://h/a?pass=x"},
    };
    for (const auto& r : rows) EXPECT_EQ(MaskQueryValue(r.url, r.key), r.masked) << r.url;
}

TEST(SupportLog, CallControlLinesGoUnderSip)
{
    fs::path file = Folder("sip") / "Quillon.log";
    ASSERT_TRUE(SupportLogOpen(PathOf(file)));
    SIPX_LOG_CALLBACK forward = &SupportLogSipLine;
    ASSERT_EQ(sipxConfigSetLogSink(SIPX_LOG_INFO, nullptr, forward, nullptr), SIPX_RESULT_SUCCESS);
    SIPX_INST inst = 0;
    ASSERT_EQ(sipxInitialize(&inst, 0, -1, -1, 31000, 4, "sipx", "127.0.0.1", 0), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(sipxUnInitialize(inst, 1), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(sipxConfigSetLogSink(SIPX_LOG_NONE, nullptr, nullptr, nullptr), SIPX_RESULT_SUCCESS);
    SupportLogSipLine(SIPX_LOG_WARNING, "warned", nullptr);
    SupportLogClose();
    std::vector<std::string> lines = Lines(file);
    ASSERT_EQ(lines.size(), 3u) << Slurp(file);
    std::string started = "[sip] INFO instance " + std::to_string(inst) + " started, SIP on 127.0.0.1:";
    EXPECT_EQ(lines[0].substr(24, started.size()), started);
    EXPECT_EQ(lines[1].substr(24), "[sip] INFO instance " + std::to_string(inst) + " stopped");
    EXPECT_EQ(lines[2].substr(24), "[sip] WARNING warned");
}
