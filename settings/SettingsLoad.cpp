// Shared by the settings procedures: loading a settings file afresh, and numbers in
// attribute values.
#include "SettingsLoad.h"

bool LoadSettingsFile(CXmlDoc& doc, const char* pszPath)
{
    // A load that cannot open its file keeps the document's earlier contents; start
    // empty so that a missing file reads as missing, never as the file of a former run.
    doc.SetDocument(nullptr, 0);
    return doc.LoadFile(pszPath);
}

int SettingsNumber(const std::string& strValue)
{
    size_t i = strValue.find_first_not_of(" \t\n\r\f\v");
    if (i == std::string::npos)
        return 0;
    bool bNegative = strValue[i] == '-';
    if (strValue[i] == '-' || strValue[i] == '+')
        ++i;
    long long nValue = 0;
    for (; i < strValue.size() && strValue[i] >= '0' && strValue[i] <= '9'; ++i) {
        nValue = nValue * 10 + (strValue[i] - '0');
        if (nValue > 0x80000000LL)
            nValue = 0x80000000LL;
    }
    if (bNegative)
        nValue = -nValue;
    return nValue > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(nValue);
}

void RemoveSettingsElements(CXmlDoc& doc, const char* pszElement, const char* pszAttribute,
                            const std::string& strValue)
{
    for (bool bRemoved = true; bRemoved;) {
        bRemoved = false;
        doc.RewindElements();
        doc.FindElement(nullptr);
        while (doc.FindChildElement(pszElement))
            if (doc.ChildAttribute(pszAttribute) == strValue) {
                doc.RemoveChildElement();
                bRemoved = true;
                break;
            }
    }
}
