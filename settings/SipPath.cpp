// Call.xml: the way (transport and port) that reached each call server last time, so
// that a network that drops UDP does not cost the fallback's seconds at every start.
#include "SettingsFiles.h"
#include "SettingsLoad.h"

namespace {
const char kElement[] = "sippath";

// A stored way names a transport the library knows and a port; anything else in the
// file is passed over.
bool IsWay(const std::string& strWay)
{
    size_t colon = strWay.find(':');
    if (colon == std::string::npos || colon + 1 >= strWay.size() || strWay.size() - colon > 6)
        return false;
    std::string strName = strWay.substr(0, colon);
    if (strName != "udp" && strName != "tcp" && strName != "tls")
        return false;
    for (size_t i = colon + 1; i < strWay.size(); ++i)
        if (strWay[i] < '0' || strWay[i] > '9')
            return false;
    return true;
}
}

std::string LoadSipPath(CXmlDoc& doc, const std::string& strDomain, const char* pszPath)
{
    std::string strWay;
    LoadSettingsFile(doc, pszPath);
    doc.RewindElements();
    doc.FindElement(nullptr);
    while (doc.FindChildElement(kElement))
        if (doc.ChildAttribute("domain") == strDomain && IsWay(doc.ChildAttribute("way")))
            strWay = doc.ChildAttribute("way");
    return strWay;
}

bool SaveSipPath(CXmlDoc& doc, const std::string& strDomain, const std::string& strWay, bool bFirstWay,
                 const char* pszPath)
{
    if (!bFirstWay && !IsWay(strWay))
        return false;
    const std::string strWanted = bFirstWay ? std::string() : strWay;
    if (LoadSipPath(doc, strDomain, pszPath) == strWanted)
        return false;
    if (!LoadSettingsFile(doc, pszPath))
        return false;
    // Every element of the domain goes; the new one is appended after the last child.
    RemoveSettingsElements(doc, kElement, "domain", strDomain);
    if (!strWanted.empty()) {
        doc.RewindElements();
        doc.FindElement(nullptr);
        doc.EnterElement();
        doc.AppendElement(kElement);
        doc.SetAttribute("domain", strDomain);
        doc.SetAttribute("way", strWanted);
        doc.LeaveElement();
    }
    return doc.SaveFile(pszPath);
}
