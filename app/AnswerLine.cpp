#include "AnswerLine.h"

namespace answer {

namespace {
long Find(const std::string& line, char c)
{
    const size_t at = line.find(c);
    return at == std::string::npos ? -1 : static_cast<long>(at);
}
}

std::string FirstLine(const std::string& body)
{
    const size_t lf = body.find('\n');
    return lf == std::string::npos ? body : body.substr(0, lf);
}

std::string Word(const std::string& line)
{
    const long bang = Find(line, '!');
    return bang < 0 ? std::string() : line.substr(0, static_cast<size_t>(bang));
}

std::string Substring(const std::string& text, long start, long length)
{
    if (start < 0)
        start = 0;
    if (length <= 0 || start >= static_cast<long>(text.size()))
        return std::string();
    return text.substr(static_cast<size_t>(start), static_cast<size_t>(length));
}

std::string Field(const std::string& line, char open, char close)
{
    const long a = Find(line, open);
    const long b = Find(line, close);
    return Substring(line, a + 1, b - a - 1);
}

void SplitHostPort(const std::string& field, std::string& host, int& port)
{
    const long colon = Find(field, ':');
    host = colon < 0 ? std::string() : field.substr(0, static_cast<size_t>(colon));
    size_t i = static_cast<size_t>(colon + 1);
    long value = 0;
    bool digits = false;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        digits = true;
        value = value * 10 + (field[i] - '0');
        if (value > 65535)
            break;
    }
    port = (digits && value >= 1 && value <= 65535) ? static_cast<int>(value) : 0;
}

std::string PercentEncode(const std::string& value)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size() * 3);
    for (unsigned char c : value) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

SignInAnswer ParseSignIn(const std::string& line)
{
    SignInAnswer a;
    a.strWord = Word(line);
    if (a.strWord != "ok")
        return a;
    a.strSipUser = Field(line, '!', '@');
    a.strBalance = Field(line, '@', '#');
    a.strSipDomain = Field(line, '#', '$');
    SplitHostPort(a.strSipDomain, a.strKeepAliveHost, a.nKeepAlivePort);
    return a;
}

}  // namespace answer
