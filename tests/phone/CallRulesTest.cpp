// The rules of a call request, without a window: the number checks in their order, the
// balance read as a number, the international form and the recording's file name.
#include <gtest/gtest.h>
#include <set>
#include "CallRules.h"

namespace {

const char kEnterNumber[] = "请输入对方电话号码";
const char kNumberIncorrect[] = "对方电话号码不正确";
const char kMobileNeedsZero[] = "手机请在号码前加0";
const char kNumberWrong[] = "对方电话号码错误";
const char kBalanceTooLow[] = "话费余额不足.请充值";

TEST(CallRules, NumberChecksRefuseInTheirOrder)
{
    struct Row {
        const char* number;
        const char* balance;
        const char* refusal;    // null: the number is called
    };
    const Row rows[] = {
        {"", "25.60", kEnterNumber},
        {"012", "25.60", kNumberIncorrect},
        {"12-", "25.60", kNumberIncorrect},            // length comes first
        {"0755", "25.60", nullptr},                     // four bytes are enough
        {"13812345678", "25.60", kMobileNeedsZero},     // an eleven-digit mobile
        {"1-23", "0", kMobileNeedsZero},                // leading 0 comes before digits and balance
        {"0755-1234567", "25.60", kNumberWrong},
        {"0755 123", "25.60", kNumberWrong},
        {"0a12", "0", kNumberWrong},                    // digits come before the balance
        // Lengths are GBK bytes: "0中文" is three characters but five bytes.
        {"0中文", "25.60", kNumberWrong},
        {"0中", "25.60", kNumberIncorrect},
        {"07551234567", "1.49", kBalanceTooLow},
        {"07551234567", "1.5", nullptr},
        {"07551234567", "", kBalanceTooLow},
        {"0012345678", "1.50", nullptr},
        // The service numbers need neither the leading 0 nor a balance.
        {"80000", "0", nullptr},
        {"80006", "", nullptr},
        {"80001", "25.60", kMobileNeedsZero},
        {"800000", "25.60", kMobileNeedsZero},          // whole texts only
        {"8000", "25.60", kMobileNeedsZero},
    };
    for (const Row& r : rows) {
        const char* got = RefuseNumber(r.number, r.balance);
        if (r.refusal)
            EXPECT_STREQ(got, r.refusal) << "\"" << r.number << "\" with " << r.balance;
        else
            EXPECT_EQ(got, nullptr) << "\"" << r.number << "\" with " << r.balance << ": " << got;
    }
}

TEST(CallRules, PartyLinesRefuseLowBalanceShortOrWrongNumbersAndMissingLeadingZero)
{
    struct Row {
        const char* number;
        const char* balance;
        const char* refusal;    // null: the line calls
    };
    const Row rows[] = {
        {"075512345678", "0.09", "话费不足"},             // the balance comes first
        {"", "0.09", "话费不足"},
        {"075512345678", "0.1", nullptr},
        {"07551234", "5", "号码错误"},                     // 8 digits
        {"075512345", "5", nullptr},                      // 9 are enough
        {"0755-12345", "5", "号码错误"},
        {"13812345678", "5", "手机前加0"},
        {"80000", "0", "话费不足"},                        // no service-number exemption here
    };
    for (const Row& r : rows) {
        const char* got = RefusePartyNumber(r.number, r.balance);
        if (r.refusal)
            EXPECT_STREQ(got, r.refusal) << r.number << " with " << r.balance;
        else
            EXPECT_EQ(got, nullptr) << r.number << " with " << r.balance << ": " << got;
    }
}

TEST(CallRules, BalanceIsReadAsADecimalNumberAndAnythingElseAsZero)
{
    struct Row {
        const char* text;
        double value;
    };
    const Row rows[] = {
        {"25.60", 25.6}, {"1.5", 1.5}, {"1.49", 1.49}, {"  2.5", 2.5}, {"+3", 3}, {"-4.25", -4.25},
        {".5", 0.5}, {"7.", 7}, {"1.5abc", 1.5}, {"1.5e1", 15}, {"2e", 2}, {"3e+", 3},
        {"", 0}, {"abc", 0}, {".", 0}, {"-", 0}, {"ok", 0},
        // Not amounts of money, though the C library might read them as numbers.
        {"nan", 0}, {"inf", 0}, {"0x10", 0}, {"infinity", 0},
    };
    for (const Row& r : rows)
        EXPECT_DOUBLE_EQ(BalanceValue(r.text), r.value) << "\"" << r.text << "\"";
    // A balance reading as "not a number" would pass no comparison, so it must not come out.
    EXPECT_LT(BalanceValue("nan"), kBalanceFloor);
}

TEST(CallRules, NationalNumbersAreCalledWith0086)
{
    struct Row {
        const char* typed;
        const char* called;
    };
    const Row rows[] = {
        {"07551234567", "00867551234567"},
        {"02088886666", "00862088886666"},
        {"0755", "0086755"},
        {"0012345678", "0012345678"},
        {"00867551234567", "00867551234567"},
        {"80000", "80000"},
        {"80006", "80006"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(InternationalNumber(r.typed), r.called) << r.typed;
}

TEST(CallRules, RecordingIsNamedByTheAnswerTimeAndTheInternationalNumber)
{
    struct tm t = {};
    t.tm_year = 2009 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 14;
    t.tm_min = 7;
    t.tm_sec = 59;
    EXPECT_EQ(RecordingPath("C:\\calls", t, "00867551234567"),
              "C:\\calls\\Record\\2009年03月05日14点07分00867551234567.wav");
    t.tm_hour = 0;
    t.tm_min = 0;
    t.tm_mon = 11;
    t.tm_mday = 31;
    EXPECT_EQ(RecordingPath("Z:\\", t, "80000"), "Z:\\\\Record\\2009年12月31日00点00分80000.wav");
}

TEST(CallRules, ARecordingKeepsEveryEarlierFileOfItsName)
{
    struct Row {
        int taken;              // names already on disk: the path, then " (2)", " (3)", ...
        const char* expected;
    };
    const Row rows[] = {
        {0, "R\\2009年03月05日14点07分80000.wav"},
        {1, "R\\2009年03月05日14点07分80000 (2).wav"},
        {3, "R\\2009年03月05日14点07分80000 (4).wav"},
        {100000, "R\\2009年03月05日14点07分80000 (9999).wav"},
    };
    for (const Row& r : rows) {
        int asked = 0;
        const std::string path = FreeRecordingPath("R\\2009年03月05日14点07分80000.wav", [&](const std::string&) {
            return ++asked <= r.taken;
        });
        EXPECT_EQ(path, r.expected) << r.taken;
    }
}

// The file is created only at a free name; a name another file took between the check
// and the creation sends the start on to the next free name, never onto that file.
TEST(CallRules, ARecordingStartsAtTheNextFreeNameWhenItsNameIsTakenMeanwhile)
{
    const std::string base = "R\\2009年03月05日14点07分80000.wav";
    auto name = [&](int n) {
        return n == 1 ? base : "R\\2009年03月05日14点07分80000 (" + std::to_string(n) + ").wav";
    };
    struct Row {
        int onDisk;             // names taken before the start: the path, " (2)", ...
        int raced;              // names taken by another file just before each of the first starts
        bool refused;           // the creation fails for another reason (no folder, say)
        const char* expected;   // the last name tried, empty when none
        bool started;
        int starts;             // creations tried
    };
    const Row rows[] = {
        {0, 0, false, "R\\2009年03月05日14点07分80000.wav", true, 1},
        {2, 0, false, "R\\2009年03月05日14点07分80000 (3).wav", true, 1},
        {0, 1, false, "R\\2009年03月05日14点07分80000 (2).wav", true, 2},
        {1, 2, false, "R\\2009年03月05日14点07分80000 (4).wav", true, 3},
        {0, 0, true, "R\\2009年03月05日14点07分80000.wav", false, 1},
        {0, 100, false, "R\\2009年03月05日14点07分80000 (8).wav", false, kRecordingStartTries},
        {100000, 0, false, "R\\2009年03月05日14点07分80000 (9999).wav", false, 1},
    };
    for (const Row& r : rows) {
        std::set<std::string> files;
        for (int n = 1; n <= r.onDisk && n <= 9999; ++n)
            files.insert(name(n));
        int starts = 0, raced = 0;
        const RecordingStart result = StartRecordingAtFreePath(
            base, [&](const std::string& path) { return files.count(path) != 0; },
            [&](const std::string& path) {
                ++starts;
                if (raced < r.raced) {
                    ++raced;
                    files.insert(path);     // another program's file got there first
                }
                if (r.refused || files.count(path))
                    return false;           // created new only
                files.insert(path);
                return true;
            });
        EXPECT_EQ(result.strPath, r.expected) << r.onDisk << " " << r.raced;
        EXPECT_EQ(result.bStarted, r.started) << r.onDisk << " " << r.raced;
        EXPECT_EQ(starts, r.starts) << r.onDisk << " " << r.raced;
    }
}

}  // namespace
