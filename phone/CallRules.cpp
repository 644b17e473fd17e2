#include "CallRules.h"
#include <cstdlib>

bool IsServiceNumber(const std::string& strNumber)
{
    return strNumber == "80000" || strNumber == "80006";
}

namespace {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(const std::string& strText)
{
    for (char c : strText)
        if (!IsDigit(c))
            return false;
    return true;
}
}

double BalanceValue(const std::string& strBalance)
{
    // Only the decimal form is taken (strtod alone would also read "inf", "nan" and
    // hexadecimal, none of which is an amount of money).
    size_t i = 0;
    const size_t n = strBalance.size();
    while (i < n && (strBalance[i] == ' ' || strBalance[i] == '\t'))
        ++i;
    const size_t start = i;
    if (i < n && (strBalance[i] == '+' || strBalance[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < n && IsDigit(strBalance[i]))
        ++i, ++digits;
    if (i < n && strBalance[i] == '.') {
        ++i;
        while (i < n && IsDigit(strBalance[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return 0;
    if (i < n && (strBalance[i] == 'e' || strBalance[i] == 'E')) {
        size_t j = i + 1;
        if (j < n && (strBalance[j] == '+' || strBalance[j] == '-'))
            ++j;
        if (j < n && IsDigit(strBalance[j])) {
            while (j < n && IsDigit(strBalance[j]))
                ++j;
            i = j;
        }
    }
    const std::string number = strBalance.substr(start, i - start);
    return std::strtod(number.c_str(), nullptr);
}

const char* RefuseNumber(const std::string& strNumber, const std::string& strBalance)
{
    const bool service = IsServiceNumber(strNumber);
    if (strNumber.size() < 1)
        return "请输入对方电话号码";
    if (strNumber.size() < 4)
        return "对方电话号码不正确";
    if (strNumber[0] != '0' && !service)
        return "手机请在号码前加0";
    if (!AllDigits(strNumber))
        return "对方电话号码错误";
    if (!service && BalanceValue(strBalance) < kBalanceFloor)
        return "话费余额不足.请充值";
    return nullptr;
}

const char* RefusePartyNumber(const std::string& strNumber, const std::string& strBalance)
{
    if (BalanceValue(strBalance) < kPartyBalanceFloor)
        return "话费不足";
    if (strNumber.size() < kPartyShortestNumber || !AllDigits(strNumber))
        return "号码错误";
    // Fixed and mobile numbers alike are dialled with their leading 0.
    if (strNumber[0] != '0')
        return "手机前加0";
    return nullptr;
}

std::string InternationalNumber(const std::string& strNumber)
{
    if (!strNumber.empty() && strNumber[0] == '0' && strNumber.compare(0, 2, "00") != 0)
        return "0086" + strNumber.substr(1);
    return strNumber;
}

std::string RecordingPath(const std::string& strFolder, const struct tm& answered, const std::string& strNumber)
{
    char when[64] = {0};
    if (std::strftime(when, sizeof when, "%Y年%m月%d日%H点%M分", &answered) == 0)
        when[0] = '\0';
    return strFolder + "\\Record\\" + when + strNumber + ".wav";
}

std::string FreeRecordingPath(const std::string& strPath, const std::function<bool(const std::string&)>& taken)
{
    if (!taken(strPath))
        return strPath;
    const size_t nDot = strPath.size() >= 4 && strPath.compare(strPath.size() - 4, 4, ".wav") == 0
                            ? strPath.size() - 4
                            : strPath.size();
    const std::string strStem = strPath.substr(0, nDot), strExtension = strPath.substr(nDot);
    std::string strCandidate;
    for (int n = 2; n <= 9999; ++n) {
        strCandidate = strStem + " (" + std::to_string(n) + ")" + strExtension;
        if (!taken(strCandidate))
            break;
    }
    return strCandidate;
}

RecordingStart StartRecordingAtFreePath(const std::string& strPath,
                                        const std::function<bool(const std::string&)>& taken,
                                        const std::function<bool(const std::string&)>& start)
{
    RecordingStart result;
    for (int n = 0; n < kRecordingStartTries; ++n) {
        const std::string strCandidate = FreeRecordingPath(strPath, taken);
        if (strCandidate == result.strPath)
            break;      // every name is taken: the same one came back
        result.strPath = strCandidate;
        if (start(strCandidate)) {
            result.bStarted = true;
            break;
        }
        if (!taken(strCandidate))
            break;      // refused for another reason: a next name would fare no better
    }
    return result;
}
