// The program's side of the support log (SupportLog.h): the "--log" switch, the file
// beside the program, and lines from GBK text. Without the switch nothing is opened
// and every call here returns at once.
#pragma once
#include <string>

// Whether the command line holds "--log" as a word of its own.
bool LogSwitchInCommandLine(const std::string& cmdLine);

// Opens "Quillon.log" in the program's folder and writes the start line (version and
// Windows version). False when the file cannot be opened; the log then stays off.
bool OpenProgramLog();

// One line from GBK text (status texts, answers); converted to the log's UTF-8.
void LogGbk(const char* category, const std::string& gbk);
