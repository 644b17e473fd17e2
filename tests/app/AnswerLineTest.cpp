// Account-server answer lines and query escaping: the cases a real server produces.
#include <gtest/gtest.h>
#include "AnswerLine.h"

using namespace answer;

TEST(AnswerLine, FirstLineEndsAtTheFirstLineFeedOnly)
{
    EXPECT_EQ(FirstLine("ok!a@1#h:1$x%y^\nsecond line\n"), "ok!a@1#h:1$x%y^");
    EXPECT_EQ(FirstLine("ok!a@1\r\nrest"), "ok!a@1\r");      // CR stays part of the line
    EXPECT_EQ(FirstLine("no line feed at all"), "no line feed at all");
    EXPECT_EQ(FirstLine(""), "");
    EXPECT_EQ(FirstLine("\nok!"), "");
}

TEST(AnswerLine, WordIsTheTextBeforeTheFirstBang)
{
    struct { const char* line; const char* word; } rows[] = {
        {"ok!u@1#h:1$x%y^", "ok"},
        {"error!", "error"},
        {"error", ""},           // no "!": empty word, not "error"
        {"OK!u@1#", "OK"},       // compared later, case-sensitively
        {"!", ""},
        {"a!b!c", "a"},
        {"", ""},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Word(r.line), r.word) << r.line;
}

TEST(AnswerLine, SubstringRuleClampsStartCutsEndAndEmptiesNegativeLengths)
{
    EXPECT_EQ(Substring("abcdef", -1, 3), "abc");
    EXPECT_EQ(Substring("abcdef", 2, 100), "cdef");
    EXPECT_EQ(Substring("abcdef", 2, -4), "");
    EXPECT_EQ(Substring("abcdef", 6, 1), "");
    EXPECT_EQ(Substring("abcdef", 9, 1), "");
    // A missing opening delimiter starts the field at the beginning of the line,
    // a missing closing one makes it empty.
    EXPECT_EQ(Field("abc#def$", '@', '#'), "abc");
    EXPECT_EQ(Field("abc@def", '@', '#'), "");
    EXPECT_EQ(Field("x#y@z", '@', '#'), "");   // closing before opening
}

TEST(AnswerLine, SignInAnswers)
{
    SignInAnswer a = ParseSignIn("ok!80012345@25.60#10.0.0.1:5060$075512345678%10.0.0.2:5061^");
    EXPECT_EQ(a.strWord, "ok");
    EXPECT_EQ(a.strSipUser, "80012345");
    EXPECT_EQ(a.strBalance, "25.60");
    EXPECT_EQ(a.strSipDomain, "10.0.0.1:5060");
    EXPECT_EQ(a.strKeepAliveHost, "10.0.0.1");
    EXPECT_EQ(a.nKeepAlivePort, 5060);

    // A five-digit port is read whole.
    a = ParseSignIn("ok!u@1#10.0.0.1:15060$x%y^");
    EXPECT_EQ(a.nKeepAlivePort, 15060);

    // Missing "@": empty user, and the balance runs from the line's start to the "#".
    a = ParseSignIn("ok!u1#h:5060$");
    EXPECT_EQ(a.strSipUser, "");
    EXPECT_EQ(a.strBalance, "ok!u1");

    // Field 3 without ":": no host, the port from the field's own leading digits.
    a = ParseSignIn("ok!u@1#5070$");
    EXPECT_EQ(a.strKeepAliveHost, "");
    EXPECT_EQ(a.nKeepAlivePort, 5070);
    a = ParseSignIn("ok!u@1#host$");
    EXPECT_EQ(a.nKeepAlivePort, 0);

    // Only "ok" carries fields.
    a = ParseSignIn("error!u@1#h:1$");
    EXPECT_EQ(a.strWord, "error");
    EXPECT_EQ(a.strSipUser, "");
    EXPECT_EQ(a.strBalance, "");

    // CR before LF belongs to the line; a trailing CR after "^" does no harm.
    a = ParseSignIn("ok!u@2.5#h:5060$x%y^\r");
    EXPECT_EQ(a.strBalance, "2.5");
    EXPECT_EQ(a.nKeepAlivePort, 5060);
}

TEST(AnswerLine, PortsOutsideTheValidRangeGiveZero)
{
    struct { const char* field; const char* host; int port; } rows[] = {
        {"h:5060", "h", 5060}, {"h:65535", "h", 65535}, {"h:65536", "h", 0}, {"h:0", "h", 0},
        {"h:", "h", 0}, {"h:x5060", "h", 0}, {"h:5060abc", "h", 5060}, {"h:999999999999", "h", 0},
        {":7000", "", 7000}, {"", "", 0},
    };
    for (const auto& r : rows) {
        std::string host;
        int port = -1;
        SplitHostPort(r.field, host, port);
        EXPECT_EQ(host, r.host) << r.field;
        EXPECT_EQ(port, r.port) << r.field;
    }
}

TEST(AnswerLine, QueryValuesAreEscapedSoTheServerSeesWhatWasTyped)
{
    EXPECT_EQ(PercentEncode("Az09-._~"), "Az09-._~");
    EXPECT_EQ(PercentEncode("a&b=c"), "a%26b%3Dc");
    EXPECT_EQ(PercentEncode("p#ss word"), "p%23ss%20word");
    EXPECT_EQ(PercentEncode("100%+/?"), "100%25%2B%2F%3F");
    EXPECT_EQ(PercentEncode("\xd6\xd0"), "%D6%D0");   // one GBK character
    EXPECT_EQ(PercentEncode(""), "");
}
