// The account server's answers and queries: one text line per answer, an answer word
// before the first "!", fields between the first occurrences of single delimiter
// characters; query values percent-encoded. Portable: built and tested natively too.
#pragma once
#include <string>

namespace answer {

// The first line of a response body: the bytes before the first line feed (a carriage
// return before it stays part of the line). A body without a line feed is one line.
std::string FirstLine(const std::string& body);

// The text before the first "!"; empty when the line has none.
std::string Word(const std::string& line);

// The field between the first `open` and the first `close`: it starts one byte after
// the first `open` and is (position of close - position of open - 1) bytes long, with
// the substring rule of Substring() (a missing delimiter has position -1).
std::string Field(const std::string& line, char open, char close);

// Substring rule: a start below 0 is taken as 0, a negative length gives an empty text,
// a part running past the end is cut there.
std::string Substring(const std::string& text, long start, long length);

// A "host:port" field: the host is the text before the first ":" (empty without one);
// the port is the number made of all the digits that follow the ":" (the field's own
// leading digits when it has no ":"), 0 when there are none or it is outside 1..65535.
void SplitHostPort(const std::string& field, std::string& host, int& port);

// A query value with every byte outside A-Z a-z 0-9 - . _ ~ written as %XX, so that
// "&", "#", spaces and GBK bytes reach the server exactly as typed.
std::string PercentEncode(const std::string& value);

// The sign-in answer, cut from its first line.
struct SignInAnswer {
    std::string strWord;
    std::string strSipUser;        // between "!" and "@"
    std::string strBalance;        // between "@" and "#"
    std::string strSipDomain;      // between "#" and "$": host:port of the call server
    std::string strKeepAliveHost;  // host part of the call server
    int nKeepAlivePort = 0;        // port part of the call server
};
// Fields are read only when the word is "ok".
SignInAnswer ParseSignIn(const std::string& line);

}  // namespace answer
