// The account server's answer lines: the line, word and field rules and the query
// escaping on any bytes, each held to what AnswerLine.h promises.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "AnswerLine.h"
#include "fuzz_check.h"

namespace {

bool IsUnreserved(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const char open = in.ConsumeIntegral<char>(), close = in.ConsumeIntegral<char>();
    const long start = in.ConsumeIntegral<long>(), length = in.ConsumeIntegral<long>();
    const std::string body = in.ConsumeRemainingBytesAsString();

    const std::string line = answer::FirstLine(body);
    FUZZ_CHECK(line.find('\n') == std::string::npos);
    FUZZ_CHECK(body.compare(0, line.size(), line) == 0);
    FUZZ_CHECK(line.size() == body.size() || body[line.size()] == '\n');

    const std::string word = answer::Word(line);
    const size_t bang = line.find('!');
    FUZZ_CHECK(bang == std::string::npos ? word.empty() : word == line.substr(0, bang));

    // The substring rule: from max(start, 0), at most `length` bytes, never past the end.
    const std::string part = answer::Substring(line, start, length);
    const size_t from = start < 0 ? 0 : static_cast<size_t>(start);
    FUZZ_CHECK(part.empty() || (length > 0 && part.size() <= static_cast<unsigned long>(length) &&
                                line.compare(from, part.size(), part) == 0));
    FUZZ_CHECK(!part.empty() || length <= 0 || from >= line.size());
    FUZZ_CHECK(part.size() == static_cast<unsigned long>(length) || part.empty() ||
               from + part.size() == line.size());

    const std::string field = answer::Field(line, open, close);
    const size_t a = line.find(open), b = line.find(close);
    if (a != std::string::npos && b != std::string::npos && a < b)
        FUZZ_CHECK(field == line.substr(a + 1, b - a - 1));
    if (b == std::string::npos || (a != std::string::npos && b <= a))
        FUZZ_CHECK(field.empty());

    std::string host;
    int port = -1;
    answer::SplitHostPort(field, host, port);
    FUZZ_CHECK(port == 0 || (port >= 1 && port <= 65535));
    const size_t colon = field.find(':');
    FUZZ_CHECK(colon == std::string::npos ? host.empty() : host == field.substr(0, colon));
    if (port != 0) {
        const std::string digits = std::to_string(port);
        const size_t at = colon == std::string::npos ? 0 : colon + 1;
        // The port's digits follow, possibly after leading zeros.
        size_t end = at;
        while (end < field.size() && field[end] >= '0' && field[end] <= '9')
            ++end;
        const std::string written = field.substr(at, end - at);
        FUZZ_CHECK(written.size() >= digits.size() &&
                   written.compare(written.size() - digits.size(), digits.size(), digits) == 0 &&
                   written.find_first_not_of('0') == written.size() - digits.size());
    }

    const std::string escaped = answer::PercentEncode(body);
    std::string decoded;
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '%') {
            FUZZ_CHECK(IsUnreserved(escaped[i]));
            decoded += escaped[i];
            continue;
        }
        FUZZ_CHECK(i + 2 < escaped.size());  // two hex digits follow
        const int hi = HexValue(escaped[i + 1]), lo = HexValue(escaped[i + 2]);
        FUZZ_CHECK(hi >= 0 && lo >= 0);
        const char c = static_cast<char>(hi * 16 + lo);
        FUZZ_CHECK(!IsUnreserved(c));
        decoded += c;
        i += 2;
    }
    FUZZ_CHECK(decoded == body);

    const answer::SignInAnswer s = answer::ParseSignIn(line);
    FUZZ_CHECK(s.strWord == word);
    if (word != "ok") {
        FUZZ_CHECK(s.strSipUser.empty() && s.strBalance.empty() && s.strSipDomain.empty() &&
                   s.strKeepAliveHost.empty() && s.nKeepAlivePort == 0);
    } else {
        FUZZ_CHECK(s.strSipUser == answer::Field(line, '!', '@'));
        FUZZ_CHECK(s.strBalance == answer::Field(line, '@', '#'));
        FUZZ_CHECK(s.strSipDomain == answer::Field(line, '#', '$'));
    }
    return 0;
}
