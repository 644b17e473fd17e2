// Digest challenge parsing and response computation.
#include "auth.h"

#include <cstdio>

#include "../sip/sip.h"

namespace callctl::auth {

namespace {

// Splits "a=b, c=\"d, e\"" into name/value pairs, unquoting values.
template <typename Fn>
void for_each_pair(std::string_view s, Fn fn) {
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == ',')) ++i;
        size_t ns = i;
        while (i < s.size() && s[i] != '=' && s[i] != ',') ++i;
        std::string_view name = sip::trim(s.substr(ns, i - ns));
        std::string value;
        if (i < s.size() && s[i] == '=') {
            ++i;
            while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
            if (i < s.size() && s[i] == '"') {
                ++i;
                while (i < s.size() && s[i] != '"') {
                    if (s[i] == '\\' && i + 1 < s.size()) ++i;
                    value.push_back(s[i++]);
                }
                if (i < s.size()) ++i;
            } else {
                size_t vs = i;
                while (i < s.size() && s[i] != ',') ++i;
                value = std::string(sip::trim(s.substr(vs, i - vs)));
            }
        }
        if (!name.empty()) fn(name, value);
    }
}

}  // namespace

bool parse_challenge(std::string_view value, Challenge *out) {
    value = sip::trim(value);
    size_t sp = value.find_first_of(" \t");
    if (sp == std::string_view::npos || !sip::iequals(value.substr(0, sp), "Digest")) return false;
    Challenge c;
    bool have_nonce = false;
    for_each_pair(value.substr(sp + 1), [&](std::string_view name, const std::string &v) {
        if (sip::iequals(name, "realm")) c.realm = v;
        else if (sip::iequals(name, "nonce")) c.nonce = v, have_nonce = true;
        else if (sip::iequals(name, "opaque")) c.opaque = v;
        else if (sip::iequals(name, "algorithm")) c.algorithm = v;
        else if (sip::iequals(name, "stale")) c.stale = sip::iequals(v, "true");
        else if (sip::iequals(name, "qop")) {
            c.qop_offered = true;
            sip::for_each_element(v, [&](std::string_view q) {
                if (sip::iequals(q, "auth")) c.qop_auth = true;
                return true;
            });
        }
    });
    if (!have_nonce) return false;
    if (!c.algorithm.empty() && !sip::iequals(c.algorithm, "MD5")) return false;
    // A qop list without "auth" (only auth-int) is not something we answer.
    if (c.qop_offered && !c.qop_auth) return false;
    *out = c;
    return true;
}

std::string authorization(const Challenge &c, const Credentials &cred, std::string_view method,
                          std::string_view uri, uint32_t nc, std::string_view cnonce) {
    std::string ha1 = md5_hex(cred.user + ":" + c.realm + ":" + cred.password);
    std::string ha2 = md5_hex(std::string(method) + ":" + std::string(uri));
    char ncbuf[9];
    snprintf(ncbuf, sizeof ncbuf, "%08x", nc);
    std::string response;
    if (c.qop_auth) {
        response = md5_hex(ha1 + ":" + c.nonce + ":" + ncbuf + ":" + std::string(cnonce) + ":auth:" + ha2);
    } else {
        response = md5_hex(ha1 + ":" + c.nonce + ":" + ha2);
    }
    std::string v = "Digest username=\"" + cred.user + "\", realm=\"" + c.realm + "\", nonce=\"" +
                    c.nonce + "\", uri=\"" + std::string(uri) + "\", response=\"" + response + "\"";
    v += ", algorithm=MD5";
    if (!c.opaque.empty()) v += ", opaque=\"" + c.opaque + "\"";
    if (c.qop_auth) {
        v += ", qop=auth, nc=";
        v += ncbuf;
        v += ", cnonce=\"" + std::string(cnonce) + "\"";
    }
    return v;
}

}  // namespace callctl::auth
