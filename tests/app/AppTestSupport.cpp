#include <winsock2.h>
#include "AppTestSupport.h"
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace apptest {

namespace {
std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

void RemoveTree(const std::string& dir)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = ::FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = fd.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string full = dir + "\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(full);
            else
                ::DeleteFileA(full.c_str());
        } while (::FindNextFileA(h, &fd));
        ::FindClose(h);
    }
    ::RemoveDirectoryA(dir.c_str());
}
}

ScratchFolder::ScratchFolder()
{
    char prev[MAX_PATH], tmp[MAX_PATH];
    ::GetCurrentDirectoryA(MAX_PATH, prev);
    m_previous = prev;
    ::GetTempPathA(MAX_PATH, tmp);
    static int counter = 0;
    for (;;) {
        char name[64];
        std::snprintf(name, sizeof name, "quillon-test-%lu-%d", ::GetCurrentProcessId(), ++counter);
        m_path = std::string(tmp) + name;
        if (::CreateDirectoryA(m_path.c_str(), nullptr))
            break;
    }
    ::SetCurrentDirectoryA(m_path.c_str());
}

ScratchFolder::~ScratchFolder()
{
    ::SetCurrentDirectoryA(m_previous.c_str());
    RemoveTree(m_path);
}

bool WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
    return static_cast<bool>(f);
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return "<missing>";
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool Exists(const std::string& path)
{
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool AccountServer::Available() { return !Env("QUILLON_FIXTURE_DIR").empty(); }
std::string AccountServer::Url() { return Env("QUILLON_SERVER_URL"); }

void AccountServer::Answer(const char* path, const std::string& body, int status, double delay)
{
    const std::string base = Env("QUILLON_FIXTURE_DIR") + "\\" + path;
    WriteBytes(base + ".body", body);
    WriteBytes(base + ".status", std::to_string(status));
    if (delay > 0)
        WriteBytes(base + ".delay", std::to_string(delay));
    else
        ::DeleteFileA((base + ".delay").c_str());
    ::DeleteFileA((base + ".close").c_str());
}

void AccountServer::CloseWithoutAnswer(const char* path, bool close)
{
    const std::string file = Env("QUILLON_FIXTURE_DIR") + "\\" + path + ".close";
    if (close)
        WriteBytes(file, "1");
    else
        ::DeleteFileA(file.c_str());
}

std::vector<std::string> AccountServer::Requests()
{
    std::vector<std::string> lines;
    std::ifstream f(Env("QUILLON_FIXTURE_DIR") + "\\requests.log", std::ios::binary);
    std::string line;
    while (std::getline(f, line))
        lines.push_back(line);
    return lines;
}

void AccountServer::ClearRequests()
{
    ::DeleteFileA((Env("QUILLON_FIXTURE_DIR") + "\\requests.log").c_str());
}

std::string DeadServerUrl()
{
    // Bind a port, learn its number and close it again: nothing listens there now.
    WSADATA wsa;
    ::WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::closesocket(s);
    return "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

}  // namespace apptest
