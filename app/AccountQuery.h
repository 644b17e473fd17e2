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

// How long a query may take. The system's own time-outs let a network that swallows
// packets hold a query for minutes; with these a dead network ends as a network failure
// ("验证失败.网络问题" at sign-in, an unchanged balance after a call) within 20 seconds.
namespace querytime {
const DWORD kConnectMs = 8000;      // opening the connection (one attempt)
const DWORD kSendMs = 8000;         // sending the request
const DWORD kReceiveMs = 10000;     // each wait for the answer's bytes
const DWORD kWholeMs = 18000;       // the whole query, name lookup included
}

// GETs `url` and reads the answer's first line (up to the first line feed or the end).
// A non-success HTTP status is not a failure: the page's first line is the answer.
// False on a network failure (no internet handle, no URL handle, or a failed read); an
// https:// URL whose server's certificate does not hold is one, and so is a query still
// unfinished after querytime::kWholeMs.
bool FetchFirstLine(const std::string& url, std::string& line);
