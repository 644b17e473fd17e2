// Shared pieces of the application tests: a fresh working folder per test, file bytes,
// the account-server fixture (answers chosen per case, request lines read back), and the
// built program driven from outside.
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
    // The same server over HTTPS with the demo CA's certificate for localhost, and with
    // one for another name.
    static std::string HttpsUrl();
    static std::string WrongNameUrl();
    // An address whose connections are never accepted: it swallows every attempt.
    static std::string BlackholeUrl();
    // Chooses what `path` (e.g. "login.php") answers: body, status, delay in seconds,
    // or a closed connection.
    static void Answer(const char* path, const std::string& body, int status = 200, double delay = 0);
    static void CloseWithoutAnswer(const char* path, bool close);
    static std::vector<std::string> Requests();
    static void ClearRequests();
};

// A URL on which nothing listens.
std::string DeadServerUrl();

// The built program Quillon.exe, started in a folder holding its shipped files and driven
// from outside by control id.
class ProgramRun {
public:
    // The caption of the login window and of the phone window.
    static const char kCaption[];
    // Which windows End asks to close: the login window by its exit button, the phone
    // window, or every window the program shows.
    enum class Closing { ExitButton, PhoneWindow, AllWindows };

    explicit ProgramRun(const std::string& folder) : m_folder(folder) {}

    // Copies the assembled program's files into the current folder (asserts; call it in
    // ASSERT_NO_FATAL_FAILURE).
    static void CopyFiles();
    // Starts "Quillon.exe --server=<account server>" in the folder; its process, or null.
    HANDLE Start(const std::string& moreArguments = std::string());
    // Lets the account server accept the sign-in with the call server at
    // 127.0.0.1:callServerPort and the proxy at 127.0.0.1:proxyPort, starts the program,
    // types account and password into the login window and clicks sign-in; the phone
    // window, or null.
    HWND SignIn(int callServerPort, int proxyPort = 5061, const std::string& moreArguments = std::string());
    // SignIn, then waits until the phone window says the line is registered; the phone
    // window, or null.
    HWND SignInAndRegister(int callServerPort, int proxyPort);

    // The window with the program's caption, of any process.
    static HWND Login();
    // Login, once it is visible (15 s).
    static HWND WaitForLogin();
    // The program's visible window with a keypad: the phone window (the login window,
    // of the same caption, is hidden by then).
    HWND Phone() const;
    // The program's visible top-level windows.
    std::vector<HWND> Shown() const;
    // The program's visible window with this caption and, unless id is 0, a control `id`.
    HWND Find(const std::string& caption, int id = 0) const;

    HANDLE Process() const { return m_process.hProcess; }
    bool Ended(DWORD ms) const { return ::WaitForSingleObject(m_process.hProcess, ms) == WAIT_OBJECT_0; }
    // If the program still runs, asks the windows chosen by `closing` to close, waits `ms`
    // and then terminates it; closes the handles.
    void End(Closing closing, DWORD ms = 8000);

private:
    std::string m_folder;
    PROCESS_INFORMATION m_process = {};
};

}  // namespace apptest
