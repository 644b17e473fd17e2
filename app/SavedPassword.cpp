#include "SavedPassword.h"
#include <windows.h>
#include <wincrypt.h>
#include <vector>

namespace savedpassword {
namespace {

// This program's own entropy: a blob another program sealed for the same Windows user
// does not open here, nor ours there. Never change it: saved passwords would be lost.
const BYTE kEntropy[] = {'Q', 'u', 'i', 'l', 'l', 'o', 'n', ' ', 'L', 'o', 'g', 'i', 'n', '.', 'x', 'm',
                         'l', ' ', 'U', 's', 'e', 'r', 'P', 'w', 'd', 0x5A, 0x3C, 0x91, 0x07, 0xE4};
const DWORD kBase64 = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;

DATA_BLOB Blob(const void* data, size_t size)
{
    DATA_BLOB blob;
    blob.cbData = static_cast<DWORD>(size);
    blob.pbData = static_cast<BYTE*>(const_cast<void*>(data));
    return blob;
}

}  // namespace

bool Protect(const std::string& password, std::string& sealed)
{
    DATA_BLOB in = Blob(password.data(), password.size());
    DATA_BLOB entropy = Blob(kEntropy, sizeof kEntropy);
    DATA_BLOB out = {};
    if (!::CryptProtectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        return false;
    std::string text;
    DWORD chars = 0;
    bool ok = ::CryptBinaryToStringA(out.pbData, out.cbData, kBase64, nullptr, &chars) && chars > 1;
    if (ok) {
        text.resize(chars);     // with the terminating zero
        ok = ::CryptBinaryToStringA(out.pbData, out.cbData, kBase64, &text[0], &chars) != FALSE;
        text.resize(chars);     // without it
    }
    ::LocalFree(out.pbData);
    if (ok)
        sealed.swap(text);
    return ok;
}

bool Unprotect(const std::string& sealed, std::string& password)
{
    DWORD size = 0;
    const DWORD length = static_cast<DWORD>(sealed.size());
    if (sealed.empty() ||
        !::CryptStringToBinaryA(sealed.c_str(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr))
        return false;
    std::vector<BYTE> bytes(size + 1);
    if (!::CryptStringToBinaryA(sealed.c_str(), length, CRYPT_STRING_BASE64, bytes.data(), &size, nullptr, nullptr))
        return false;
    DATA_BLOB in = Blob(bytes.data(), size);
    DATA_BLOB entropy = Blob(kEntropy, sizeof kEntropy);
    DATA_BLOB out = {};
    if (!::CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        return false;
    password.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
    ::SecureZeroMemory(out.pbData, out.cbData);
    ::LocalFree(out.pbData);
    return true;
}

void Wipe(std::string& text)
{
    if (!text.empty())
        ::SecureZeroMemory(&text[0], text.size());
    text.clear();
}

}  // namespace savedpassword
