// The account server's base URL (scheme, host, optional port; no trailing "/"), the
// program's one configuration value: "--server=URL" on the command line, otherwise the
// default in the string table.
#pragma once
#include <windows.h>
#include <string>

const std::string& ServerBaseUrl();
void SetServerBaseUrl(const std::string& url);
// The value of "--server=" in a command line, without trailing "/"; empty when absent.
std::string ServerUrlFromCommandLine(const std::string& cmdLine);

// Plays the click and opens the service's page at `path` (appended to the base URL) in
// Internet Explorer, maximised: how every window opens the service's web pages.
void OpenServicePage(HWND hOwner, const char* path);
