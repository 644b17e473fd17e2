// Call.xml: where the subscriber left the program's windows, so that they open there again.
#include "SettingsFiles.h"
#include "SettingsLoad.h"

namespace {
const char kElement[] = "window";

// A coordinate as written here: an optional minus sign and at most six digits.
bool IsCoordinate(const std::string& strValue)
{
    size_t i = !strValue.empty() && strValue[0] == '-' ? 1 : 0;
    if (i >= strValue.size() || strValue.size() - i > 6)
        return false;
    for (; i < strValue.size(); ++i)
        if (strValue[i] < '0' || strValue[i] > '9')
            return false;
    return true;
}
}

bool LoadWindowPos(CXmlDoc& doc, const std::string& strName, int& x, int& y, const char* pszPath)
{
    bool bFound = false;
    int nX = 0, nY = 0;
    LoadSettingsFile(doc, pszPath);
    doc.RewindElements();
    doc.FindElement(nullptr);
    while (doc.FindChildElement(kElement)) {
        const std::string strX = doc.ChildAttribute("x"), strY = doc.ChildAttribute("y");
        if (doc.ChildAttribute("name") == strName && IsCoordinate(strX) && IsCoordinate(strY)) {
            nX = SettingsNumber(strX);
            nY = SettingsNumber(strY);
            bFound = true;
        }
    }
    if (bFound) {
        x = nX;
        y = nY;
    }
    return bFound;
}

bool SaveWindowPos(CXmlDoc& doc, const std::string& strName, int x, int y, const char* pszPath)
{
    int nX = 0, nY = 0;
    if (LoadWindowPos(doc, strName, nX, nY, pszPath) && nX == x && nY == y)
        return false;
    if (!LoadSettingsFile(doc, pszPath))
        return false;
    // Every element of the window goes; the new one is appended after the last child.
    RemoveSettingsElements(doc, kElement, "name", strName);
    doc.RewindElements();
    doc.FindElement(nullptr);
    doc.EnterElement();
    doc.AppendElement(kElement);
    doc.SetAttribute("name", strName);
    doc.SetAttribute("x", std::to_string(x));
    doc.SetAttribute("y", std::to_string(y));
    doc.LeaveElement();
    return doc.SaveFile(pszPath);
}
