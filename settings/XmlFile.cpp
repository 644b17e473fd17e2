// CXmlDoc files: whole-file reads and writes, the declared encoding, and the
// UTF-8 <-> ANSI conversion of the text on its way between disk and memory.
#include "XmlDoc.h"
#include "XmlInternal.h"

#include "CodePage.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define XML_OPEN ::_wopen
#define XML_WRITE ::_write
#define XML_CLOSE ::_close
#define XML_SYNC ::_commit
#else
#include <unistd.h>
#define XML_OPEN ::open
#define XML_WRITE ::write
#define XML_CLOSE ::close
#define XML_SYNC ::fsync
#ifndef O_BINARY
#define O_BINARY 0
#endif
#endif

using namespace xmlint;

namespace {

// File names are GBK like all text; on Windows they are opened through UTF-16, so a
// name in any script works whatever the system's ANSI code page.
#ifdef _WIN32
using FilePath = std::wstring;
FilePath PathOf(const std::string& strGbk)
{
    std::u16string wide;
    codepage::AnsiToUtf16(strGbk.data(), strGbk.size(), wide);
    return FilePath(wide.begin(), wide.end());
}
std::FILE* OpenForReading(const FilePath& path) { return ::_wfopen(path.c_str(), L"rb"); }
int RemoveFile(const FilePath& path) { return ::_wremove(path.c_str()); }
#else
using FilePath = std::string;
FilePath PathOf(const std::string& strPath) { return strPath; }
std::FILE* OpenForReading(const FilePath& path) { return std::fopen(path.c_str(), "rb"); }
int RemoveFile(const FilePath& path) { return std::remove(path.c_str()); }
#endif

// The C library's text for an error number: its first line, at most 99 characters.
std::string ErrorText(int nErrno)
{
    std::string strText = std::strerror(nErrno);
    strText = strText.substr(0, strText.find_first_of("\r\n"));
    return strText.substr(0, 99);
}

#ifdef _WIN32
std::string SystemErrorText(DWORD nError)
{
    char szText[512] = "";
    if (!::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, nError, 0, szText,
                          sizeof szText, nullptr))
        std::snprintf(szText, sizeof szText, "Error %lu", static_cast<unsigned long>(nError));
    std::string strText = szText;
    strText = strText.substr(0, strText.find_first_of("\r\n"));
    return strText.substr(0, 99);
}
#endif

// UTF-8 to ANSI through UTF-16, run by run: ASCII runs are the same in both.
bool Utf8ToAnsi(const char* p, size_t n, std::string& out)
{
    bool bComplete = true;
    std::u16string wide;
    for (size_t i = 0; i < n;) {
        size_t j = i;
        while (j < n && static_cast<unsigned char>(p[j]) < 0x80)
            ++j;
        out.append(p + i, j - i);
        size_t k = j;
        while (k < n && static_cast<unsigned char>(p[k]) >= 0x80)
            ++k;
        if (k > j) {
            wide.clear();
            codepage::Utf8ToUtf16(p + j, k - j, wide);
            bComplete &= codepage::Utf16ToAnsi(wide.data(), wide.size(), out);
        }
        i = k;
    }
    return bComplete;
}

// ANSI to UTF-8 through UTF-16, run by run; a run of non-ASCII characters keeps
// each two-byte character whole, whatever its trail byte.
void AnsiToUtf8(const unsigned char* pClasses, const char* p, size_t n, std::string& out)
{
    std::u16string wide;
    for (size_t i = 0; i < n;) {
        size_t j = i;
        while (j < n && static_cast<unsigned char>(p[j]) < 0x80)
            ++j;
        out.append(p + i, j - i);
        size_t k = j;
        while (k < n && static_cast<unsigned char>(p[k]) >= 0x80)
            k += (pClasses[static_cast<unsigned char>(p[k])] & CC_LEAD) && k + 1 < n ? 2 : 1;
        if (k > j) {
            wide.clear();
            codepage::AnsiToUtf16(p + j, k - j, wide);
            codepage::Utf16ToUtf8(wide.data(), wide.size(), out);
        }
        i = k;
    }
}

bool IsUtf8Name(const std::string& strEncoding)
{
    if (strEncoding.empty())
        return true;
    if (strEncoding.size() < 5)
        return false;
    for (int i = 0; i < 5; ++i) {
        char c = strEncoding[static_cast<size_t>(i)];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
        if (c != "UTF-8"[i])
            return false;
    }
    return true;
}

#ifdef _WIN32
// Puts the saved temporary file in the target's place. A file being replaced keeps
// what the user or the system gave it: ReplaceFileW carries over its attributes
// (hidden, archive, ...), security and creation time. Where that call cannot do it
// (another file system, or a failure that left the target gone) the temporary file
// is renamed over the target and the old attributes are put back by hand.
//
// ReplaceFileW is given a backup name of ours beside the target. Without one, a
// failure after it moved the old file aside (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
// leaves the old file under a name of Windows' choosing that nobody knows: a stale
// copy of the settings (Login.xml holds passwords). With our name the old file is
// always found: it goes back into place when the new one cannot, and is deleted
// once the target holds the new text, on success and on every failure path.
bool ReplaceKeepingIdentity(const FilePath& strTarget, const FilePath& strTemp, const FilePath& strBackup)
{
    ::DeleteFileW(strBackup.c_str());   // left behind by an interrupted save
    const DWORD nOldAttributes = ::GetFileAttributesW(strTarget.c_str());
    if (nOldAttributes == INVALID_FILE_ATTRIBUTES)
        return ::MoveFileExW(strTemp.c_str(), strTarget.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;

    if (!::ReplaceFileW(strTarget.c_str(), strTemp.c_str(), strBackup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                        nullptr, nullptr)) {
        const DWORD nError = ::GetLastError();
        // Whatever ReplaceFileW got to, the new text is still in the temporary file,
        // and the old one either still at the target's name or at the backup name.
        const bool bMoved = ::GetFileAttributesW(strTemp.c_str()) != INVALID_FILE_ATTRIBUTES &&
                            ::MoveFileExW(strTemp.c_str(), strTarget.c_str(),
                                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (!bMoved) {
            const DWORD nMoveError = ::GetLastError();
            // The old file back where it was when ReplaceFileW had moved it aside; a
            // backup is deleted only once the target holds the old text again, never the
            // only copy.
            if (::GetFileAttributesW(strTarget.c_str()) == INVALID_FILE_ATTRIBUTES)
                ::MoveFileExW(strBackup.c_str(), strTarget.c_str(), MOVEFILE_WRITE_THROUGH);
            if (::GetFileAttributesW(strTarget.c_str()) != INVALID_FILE_ATTRIBUTES)
                ::DeleteFileW(strBackup.c_str());
            ::SetLastError(nMoveError ? nMoveError : nError);
            return false;
        }
    }
    ::DeleteFileW(strBackup.c_str());
    const DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                        FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD nNow = ::GetFileAttributesW(strTarget.c_str());
    if (nNow != INVALID_FILE_ATTRIBUTES && (nNow & kKept) != (nOldAttributes & kKept)) {
        const DWORD nWanted = (nNow & ~kKept) | (nOldAttributes & kKept);
        ::SetFileAttributesW(strTarget.c_str(), nWanted ? nWanted : FILE_ATTRIBUTE_NORMAL);
    }
    return true;
}
#endif

// Writes the file so that a failure at any point leaves the old file in place: the
// bytes go to a temporary file beside the target, reach the disk, and only then
// replace the target.
bool WriteFileReplacing(const char* pszPath, const char* pData, size_t nData, std::string& strError)
{
    const FilePath path = PathOf(pszPath);
    // An existing target that cannot be written is refused as before, untouched.
#ifdef _WIN32
    // Read-only is refused for what it says, also where the process could write anyway.
    const DWORD nAttributes = ::GetFileAttributesW(path.c_str());
    if (nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_READONLY) &&
        !(nAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        strError = ErrorText(EACCES);
        return false;
    }
#endif
    int fd = XML_OPEN(path.c_str(), O_WRONLY | O_BINARY
#ifndef _WIN32
                                   | O_NONBLOCK
#endif
    );
#ifndef _WIN32
    struct stat st;
    const bool bMode = fd >= 0 && ::fstat(fd, &st) == 0;  // the new file gets the old one's mode
#endif
    if (fd >= 0) {
        XML_CLOSE(fd);
    } else if (errno != ENOENT) {
        strError = ErrorText(errno);
        return false;
    }

    const FilePath strTemp = PathOf(std::string(pszPath) + ".tmp");
    const int nFlags = O_WRONLY | O_CREAT | O_EXCL | O_BINARY;
    fd = XML_OPEN(strTemp.c_str(), nFlags, 0666);
    if (fd < 0 && errno == EEXIST) {  // left behind by an interrupted save
        RemoveFile(strTemp);
        fd = XML_OPEN(strTemp.c_str(), nFlags, 0666);
    }
    if (fd < 0) {
        strError = ErrorText(errno);
        return false;
    }
#ifndef _WIN32
    if (bMode)
        ::fchmod(fd, st.st_mode & 07777);
#endif

    bool bOk = true;
    for (size_t nDone = 0; nDone < nData && bOk;) {
        size_t nChunk = nData - nDone < 0x40000000 ? nData - nDone : 0x40000000;
        auto nWritten = XML_WRITE(fd, pData + nDone, static_cast<unsigned>(nChunk));
        if (nWritten <= 0) {
            strError = ErrorText(nWritten < 0 ? errno : ENOSPC);
            bOk = false;
        } else {
            nDone += static_cast<size_t>(nWritten);
        }
    }
    if (bOk && XML_SYNC(fd) != 0) {
        strError = ErrorText(errno);
        bOk = false;
    }
    if (XML_CLOSE(fd) != 0 && bOk) {
        strError = ErrorText(errno);
        bOk = false;
    }
    if (bOk) {
#ifdef _WIN32
        // A replaced file would take the spelling of the name it was saved under;
        // "call.xml" and "Call.xml" are one file, so keep the spelling on disk.
        FilePath strTarget = path;
        WIN32_FIND_DATAW found;
        HANDLE hFind = std::strpbrk(pszPath, "*?") ? INVALID_HANDLE_VALUE : ::FindFirstFileW(path.c_str(), &found);
        if (hFind != INVALID_HANDLE_VALUE) {
            ::FindClose(hFind);
            const size_t nSlash = strTarget.find_last_of(L"\\/:");
            strTarget = strTarget.substr(0, nSlash == FilePath::npos ? 0 : nSlash + 1) + found.cFileName;
        }
        if (!ReplaceKeepingIdentity(strTarget, strTemp, PathOf(std::string(pszPath) + ".bak"))) {
            strError = SystemErrorText(::GetLastError());
            bOk = false;
        }
#else
        if (std::rename(strTemp.c_str(), path.c_str()) != 0) {
            strError = ErrorText(errno);
            bOk = false;
        }
#endif
    }
    if (!bOk)
        RemoveFile(strTemp);
    return bOk;
}

}  // namespace

std::string CXmlDoc::DeclaredEncoding() const
{
    const char* s = m_pText.get();
    int i = 0;
    while (i < m_nTextLength && s[i] != '<')
        i += CharLength(i);
    if (i + 1 >= m_nTextLength || s[i + 1] != '?')
        return std::string();
    int j = i + 2;
    while (j + 1 < m_nTextLength && !(s[j] == '?' && s[j + 1] == '>'))
        j += CharLength(j);
    if (j + 1 >= m_nTextLength)
        return std::string();
    return NodeAttribute(i, j + 2 - i, true, "encoding");
}

bool CXmlDoc::LoadFile(const char* pszPath)
{
    std::FILE* f = pszPath ? OpenForReading(PathOf(pszPath)) : nullptr;
    if (!f) {
        m_strResult = ErrorText(pszPath ? errno : EINVAL);
        return false;
    }
    long nSize = -1;
    if (std::fseek(f, 0, SEEK_END) == 0)
        nSize = std::ftell(f);
    if (nSize < 0 || nSize > INT_MAX / 2 || std::fseek(f, 0, SEEK_SET) != 0) {
        m_strResult = ErrorText(nSize > INT_MAX / 2 ? EFBIG : errno);
        std::fclose(f);
        return false;
    }
    const int nLength = static_cast<int>(nSize);
    const int nCapacity = nLength + nLength / 100 + 1;
    const int nFront = FrontSlack(nLength, nCapacity);
    std::unique_ptr<char[]> pBuffer(new char[static_cast<size_t>(nCapacity)]);
    const size_t nRead = nLength ? std::fread(pBuffer.get() + nFront, 1, static_cast<size_t>(nLength), f) : 0;
    if (std::ferror(f)) {
        m_strResult = ErrorText(errno);
        std::fclose(f);
        return false;
    }
    std::fclose(f);
    AssignText(std::move(pBuffer), nFront, static_cast<int>(nRead), nCapacity);

    bool bComplete = true;
    if (IsUtf8Name(DeclaredEncoding()) && AnyHighByte(m_pText.get(), nRead)) {
        std::string strText;
        strText.reserve(nRead);
        bComplete = Utf8ToAnsi(m_pText.get(), nRead, strText);
        const int nConverted = static_cast<int>(strText.size());
        const int nNewCapacity = nConverted + nConverted / 100 + 1;
        const int nNewFront = FrontSlack(nConverted, nNewCapacity);
        std::unique_ptr<char[]> pText(new char[static_cast<size_t>(nNewCapacity)]);
        std::memcpy(pText.get() + nNewFront, strText.data(), strText.size());
        AssignText(std::move(pText), nNewFront, nConverted, nNewCapacity);
    }

    char szResult[64];
    std::snprintf(szResult, sizeof szResult, "%s%d bytes%s", "", nLength,
                  bComplete ? "" : " (chars lost in conversion!)");
    m_strResult = szResult;
    Parse();
    return IsWellFormed();
}

bool CXmlDoc::SaveFile(const char* pszPath)
{
    if (!pszPath) {
        m_strResult = ErrorText(EINVAL);
        return false;
    }
    const char* pData = m_pText.get();
    size_t nData = static_cast<size_t>(m_nTextLength);
    std::string strConverted;
    if (nData && IsUtf8Name(DeclaredEncoding()) && AnyHighByte(pData, nData)) {
        strConverted.reserve(nData + nData / 2);
        AnsiToUtf8(m_pCharClass, pData, nData, strConverted);
        pData = strConverted.data();
        nData = strConverted.size();
    }
    std::string strError;
    if (!WriteFileReplacing(pszPath, pData, nData, strError)) {
        m_strResult = strError;
        return false;
    }
    char szResult[32];
    std::snprintf(szResult, sizeof szResult, "%s%d bytes", "", static_cast<int>(nData));
    m_strResult = szResult;
    return true;
}
