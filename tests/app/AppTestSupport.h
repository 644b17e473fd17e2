// Shared pieces of the application tests: a fresh working folder per test, file bytes,
// and the account-server fixture (answers chosen per case, request lines read back).
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace apptest {

// Makes a new empty folder under %TEMP%, enters it, and on destruction goes back and
// removes it with its files.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    const std::string& Path() const { return m_path; }
private:
    std::string m_path, m_previous;
};

bool WriteBytes(const std::string& path, const std::string& bytes);
// The file's bytes; "<missing>" when it cannot be read.
std::string ReadBytes(const std::string& path);
bool Exists(const std::string& path);

// The account-server fixture started around the test program (tests/fixtures).
struct AccountServer {
    static bool Available();
    static std::string Url();
    // Chooses what `path` (e.g. "login.php") answers: body, status, delay in seconds,
    // or a closed connection.
    static void Answer(const char* path, const std::string& body, int status = 200, double delay = 0);
    static void CloseWithoutAnswer(const char* path, bool close);
    static std::vector<std::string> Requests();
    static void ClearRequests();
};

// A URL on which nothing listens.
std::string DeadServerUrl();

}  // namespace apptest
