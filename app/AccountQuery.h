// How every query to the account server runs: on a worker thread of its own, created
// for one query with its window as argument; the thread handle is closed at once and
// never waited for. The worker fetches the first line of the answer through WinInet.
#pragma once
#include <windows.h>
#include <string>

// Starts `worker(argument)` on a new thread and closes the thread's handle at once.
bool StartQueryWorker(unsigned (__stdcall* worker)(void*), void* argument);

// The application's name: the executable's file name without its extension. The agent
// name of our requests and the caption of the program's message boxes.
std::string ApplicationName();

// GETs `url` and reads the answer's first line (up to the first line feed or the end).
// A non-success HTTP status is not a failure: the page's first line is the answer.
// False on a network failure (no internet handle, no URL handle, or a failed read); an
// https:// URL whose server's certificate does not hold is one.
bool FetchFirstLine(const std::string& url, std::string& line);
