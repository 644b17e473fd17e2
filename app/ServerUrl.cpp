#include "ServerUrl.h"
#include "Desktop.h"
#include "resource.h"

namespace {
std::string g_url;
bool g_set = false;

std::string WithoutTrailingSlash(std::string url)
{
    while (!url.empty() && url.back() == '/')
        url.pop_back();
    return url;
}
}

const std::string& ServerBaseUrl()
{
    if (!g_set) {
        char buf[512] = {0};
        ::LoadStringA(::GetModuleHandleA(nullptr), IDS_SERVER_URL, buf, sizeof buf);
        g_url = WithoutTrailingSlash(buf);
        g_set = true;
    }
    return g_url;
}

void SetServerBaseUrl(const std::string& url)
{
    g_url = WithoutTrailingSlash(url);
    g_set = true;
}

std::string ServerUrlFromCommandLine(const std::string& cmdLine)
{
    static const char key[] = "--server=";
    size_t at = cmdLine.find(key);
    if (at == std::string::npos)
        return std::string();
    at += sizeof key - 1;
    std::string value;
    if (at < cmdLine.size() && cmdLine[at] == '"') {
        const size_t end = cmdLine.find('"', at + 1);
        value = cmdLine.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    } else {
        const size_t end = cmdLine.find_first_of(" \t", at);
        value = cmdLine.substr(at, end == std::string::npos ? std::string::npos : end - at);
    }
    return WithoutTrailingSlash(value);
}

void OpenServicePage(HWND hOwner, const char* path)
{
    TheDesktop().PlayResourceSound(IDW_CLICK);
    const std::string url = ServerBaseUrl() + path;
    TheDesktop().ShellOpen(hOwner, "open", "IEXPLORE", url.c_str(), nullptr, SW_SHOWMAXIMIZED);
}
