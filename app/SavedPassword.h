// The password Login.xml keeps for a remembered account, protected for the Windows user.
//
// Protect seals the password's bytes as they are (GBK) with DPAPI (CryptProtectData):
// the signed-on Windows user's key, this program's own entropy, never a prompt. The
// blob is returned as one line of base64, fit for an XML attribute. Unprotect reverses
// it; text that is not base64, a blob of another Windows user or machine, or one sealed
// with other entropy is refused. Outputs are set only on success.
//
// Plain functions, called on the login window's thread. The plaintext copies they make
// are wiped before they are freed; nothing is logged.
#pragma once
#include <string>

namespace savedpassword {

// sealed: base64 of the protected blob. False when Windows refused to protect.
bool Protect(const std::string& password, std::string& sealed);
// sealed: what Protect gave; password: the bytes it was given. False when they cannot be
// read back here.
bool Unprotect(const std::string& sealed, std::string& password);
// Overwrites the text's bytes with zeros and empties it.
void Wipe(std::string& text);

}  // namespace savedpassword
