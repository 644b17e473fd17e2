// Character entity references of HTML 4.01 plus "apos", and the escaping rules
// of attribute values.
#include "XmlInternal.h"

#include "CodePage.h"

#include <cstring>

namespace xmlint {

namespace {

// Entries with names that differ only in case share a bucket; the one with the
// capital letter comes first and is the one found.
const char* const kBuckets[kEntityBuckets] = {
    "60216oslash60217ugrave60248oslash60249ugrave",  // 0
    "50937omega60221yacute58968lceil50969omega60253yacute",  // 1
    "50916delta50206icirc50948delta50238icirc68472weierp",  // 2
    "40185sup1",  // 3
    "68970lfloor40178sup2",  // 4
    "50922kappa60164curren50954kappa58212mdash40179sup3",  // 5
    "59830diams58211ndash",  // 6
    "68855otimes58969rceil",  // 7
    "50338oelig50212ocirc50244ocirc50339oelig58482trade",  // 8
    "50197aring50931sigma50229aring50963sigma",  // 9
    "50180acute68971rfloor50732tilde",  // 10
    "68249lsaquo",  // 11
    "58734infin68201thinsp",  // 12
    "50161iexcl",  // 13
    "50920theta50219ucirc50952theta50251ucirc",  // 14
    "58254oline",  // 15
    "58260frasl68727lowast",  // 16
    "59827clubs60191iquest68250rsaquo",  // 17
    "58629crarr50181micro",  // 18
    "58222bdquo",  // 19
    "",  // 20
    "58243prime60177plusmn58242prime",  // 21
    "40914beta40946beta",  // 22
    "",  // 23
    "",  // 24
    "",  // 25
    "50171laquo50215times",  // 26
    "40710circ",  // 27
    "49001lang",  // 28
    "58220ldquo40175macr",  // 29
    "40182para50163pound48476real",  // 30
    "",  // 31
    "58713notin50187raquo",  // 32
    "48773cong50223szlig50978upsih",  // 33
    "58776asymp58801equiv49002rang58218sbquo",  // 34
    "50222thorn48659darr48595darr40402fnof58221rdquo50254thorn",  // 35
    "40162cent58722minus",  // 36
    "58707exist40170ordf",  // 37
    "",  // 38
    "40921iota58709empty48660harr48596harr40953iota",  // 39
    "",  // 40
    "40196auml40228auml48226bull40167sect48838sube",  // 41
    "",  // 42
    "48656larr48592larr58853oplus",  // 43
    "30176deg58216lsquo40186ordm",  // 44
    "40203euml40039apos40235euml48712isin40160nbsp",  // 45
    "40918zeta40950zeta",  // 46
    "38743and48195emsp48719prod",  // 47
    "30935chi38745cap30967chi48194ensp",  // 48
    "40207iuml40239iuml48706part48869perp48658rarr48594rarr",  // 49
    "38736ang48836nsub58217rsquo",  // 50
    "",  // 51
    "48901sdot48657uarr48593uarr",  // 52
    "40169copy48364euro",  // 53
    "30919eta30951eta",  // 54
    "40214ouml40246ouml48839supe",  // 55
    "",  // 56
    "",  // 57
    "30038amp30174reg",  // 58
    "48733prop",  // 59
    "",  // 60
    "30208eth30934phi40220uuml30240eth30966phi40252uuml",  // 61
    "",  // 62
    "",  // 63
    "",  // 64
    "40376yuml40255yuml",  // 65
    "",  // 66
    "40034quot48204zwnj",  // 67
    "38746cup68756there4",  // 68
    "30929rho30961rho38764sim",  // 69
    "30932tau38834sub30964tau",  // 70
    "38747int38206lrm38207rlm",  // 71
    "30936psi30968psi30165yen",  // 72
    "",  // 73
    "28805ge30168uml",  // 74
    "30982piv",  // 75
    "",  // 76
    "30172not",  // 77
    "",  // 78
    "28804le",  // 79
    "30173shy",  // 80
    "39674loz28800ne38721sum",  // 81
    "",  // 82
    "",  // 83
    "38835sup",  // 84
    "28715ni",  // 85
    "",  // 86
    "20928pi20960pi38205zwj",  // 87
    "",  // 88
    "60923lambda20062gt60955lambda",  // 89
    "",  // 90
    "",  // 91
    "60199ccedil60231ccedil",  // 92
    "",  // 93
    "20060lt",  // 94
    "20926xi28744or20958xi",  // 95
    "20924mu20956mu",  // 96
    "20925nu20957nu",  // 97
    "68225dagger68224dagger",  // 98
    "80977thetasym",  // 99
    "",  // 100
    "",  // 101
    "",  // 102
    "78501alefsym",  // 103
    "",  // 104
    "",  // 105
    "",  // 106
    "60193aacute60195atilde60225aacute60227atilde",  // 107
    "",  // 108
    "70927omicron60247divide70959omicron",  // 109
    "60192agrave60224agrave",  // 110
    "60201eacute60233eacute60962sigmaf",  // 111
    "70917epsilon70949epsilon",  // 112
    "",  // 113
    "60200egrave60232egrave",  // 114
    "60205iacute60237iacute",  // 115
    "",  // 116
    "",  // 117
    "60204igrave68230hellip60236igrave",  // 118
    "60166brvbar",  // 119
    "60209ntilde68704forall58711nabla60241ntilde69824spades",  // 120
    "60211oacute60213otilde60189frac1260183middot60243oacute60245otilde",  // 121
    "",  // 122
    "50184cedil60188frac14",  // 123
    "50198aelig50194acirc60210ograve50226acirc50230aelig60242ograve",  // 124
    "50915gamma60190frac3450947gamma58465image58730radic",  // 125
    "60352scaron60353scaron",  // 126
    "60218uacute69829hearts60250uacute",  // 127
    "50913alpha50202ecirc70933upsilon50945alpha50234ecirc70965upsilon",  // 128
    "68240permil",  // 129
};

int Digits(const char* p, int n)
{
    int v = 0;
    for (int i = 0; i < n; ++i)
        v = v * 10 + (p[i] - '0');
    return v;
}

// Decimal ("#123") or hexadecimal ("#x7b") character reference, 0 when malformed.
int NumericReference(const char* p, int n)
{
    bool bHex = n >= 2 && p[1] == 'x';
    int i = bHex ? 2 : 1;
    if (i >= n)
        return 0;
    long v = 0;
    for (; i < n; ++i) {
        char c = p[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (bHex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            return 0;
        v = v * (bHex ? 16 : 10) + d;
    }
    return static_cast<int>(v);
}

}  // namespace

const char* EntityBucket(int i)
{
    return i >= 0 && i < kEntityBuckets ? kBuckets[i] : "";
}

int EntityCodePoint(const char* pName, int nLength)
{
    if (nLength <= 0 || nLength > 9)
        return 0;
    unsigned nSum = 0;
    for (int i = 0; i < nLength; ++i)
        nSum += static_cast<unsigned char>(pName[i]);
    for (const char* p = kBuckets[nSum % kEntityBuckets]; *p;) {
        int nEntryLength = p[0] - '0';
        if (nEntryLength == nLength && std::memcmp(p + 5, pName, static_cast<size_t>(nLength)) == 0)
            return Digits(p + 1, 4);
        p += 5 + nEntryLength;
    }
    return 0;
}

void UnescapeAppend(const unsigned char* pClasses, const char* p, int n, std::string& out)
{
    if (n <= 0)
        return;
    if (!std::memchr(p, '&', static_cast<size_t>(n))) {
        out.append(p, static_cast<size_t>(n));  // nothing to decode: the usual case
        return;
    }
    for (int i = 0; i < n;) {
        // Copy up to the next '&' that starts a character.
        int nRun = i;
        while (nRun < n && p[nRun] != '&')
            nRun += (pClasses[static_cast<unsigned char>(p[nRun])] & CC_LEAD) && nRun + 1 < n ? 2 : 1;
        out.append(p + i, static_cast<size_t>(nRun - i));
        i = nRun;
        if (i >= n)
            break;
        // Up to nine bytes below 0x80, folded to lower case, ended by ';'.
        char name[9];
        int k = 0, j = i + 1;
        bool bEnded = false;
        while (j < n) {
            unsigned char b = static_cast<unsigned char>(p[j]);
            if (b == ';') {
                bEnded = true;
                break;
            }
            if (k == 9 || b >= 0x80)
                break;
            name[k++] = b >= 'A' && b <= 'Z' ? static_cast<char>(b + 32) : static_cast<char>(b);
            ++j;
        }
        int nCode = 0;
        if (bEnded)
            nCode = k > 0 && name[0] == '#' ? NumericReference(name, k) : EntityCodePoint(name, k);
        if (nCode > 0 && nCode <= 0xFFFF) {
            char16_t unit = static_cast<char16_t>(nCode);
            std::string bytes;
            if (codepage::Utf16ToAnsi(&unit, 1, bytes) && !bytes.empty() && bytes.size() <= 5) {
                out += bytes;
                i = j + 1;
                continue;
            }
        }
        out.push_back('&');
        ++i;
    }
}

void EscapeAppend(const unsigned char* pClasses, const char* p, int n, std::string& out)
{
    for (int i = 0; i < n;) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        switch (c) {
        case '<': out += "&lt;"; break;
        case '&': out += "&amp;"; break;
        case '>': out += "&gt;"; break;
        case '\'': out += "&apos;"; break;
        case '"': out += "&quot;"; break;
        default:
            if ((pClasses[c] & CC_LEAD) && i + 1 < n) {
                out.append(p + i, 2);
                i += 2;
                continue;
            }
            // A lead byte without its second byte would take the closing quote as
            // one: it is written as the code page's default character instead.
            out.push_back((pClasses[c] & CC_LEAD) ? '?' : static_cast<char>(c));
            break;
        }
        ++i;
    }
}

}  // namespace xmlint
