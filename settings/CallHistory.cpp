// Call.xml's dialled-number history: read for one account, recorded, cleared.
#include "SettingsFiles.h"
#include "SettingsLoad.h"

std::vector<CallHistoryEntry> LoadCallHistory(CXmlDoc& doc, const std::string& strAccount, const char* pszPath)
{
    std::vector<CallHistoryEntry> entries;
    LoadSettingsFile(doc, pszPath);
    doc.RewindElements();
    doc.FindElement(nullptr);
    while (entries.size() < kMaxHistoryEntries && doc.FindChildElement("Call")) {
        std::string strNumber = doc.ChildAttribute("dallnum");
        std::string strType = doc.ChildAttribute("lx");
        if (doc.ChildAttribute("userr") == strAccount)
            entries.push_back(CallHistoryEntry{strNumber, strType == "0" ? 1 : 2});
    }
    return entries;
}

bool RecordCall(CXmlDoc& doc, const std::string& strNumber, const std::string& strAccount, const char* pszPath)
{
    if (!LoadSettingsFile(doc, pszPath))
        return false;
    doc.RewindElements();
    doc.FindElement(nullptr);
    doc.EnterElement();
    doc.InsertElementBefore("Call");  // newest first
    doc.SetAttribute("dallnum", strNumber);
    doc.SetAttribute("userr", strAccount);
    doc.SetAttribute("lx", "a");
    doc.LeaveElement();
    doc.SaveFile(pszPath);
    return true;
}

bool ClearCallHistory(CXmlDoc& doc, const char* pszPath)
{
    LoadSettingsFile(doc, pszPath);  // a broken file still has its "Call" elements removed
    doc.RewindElements();
    if (!doc.FindElement(nullptr))
        return false;  // no file, or nothing in it to edit: writing would only destroy it
    while (doc.FindChildElement("Call"))
        doc.RemoveChildElement();
    return doc.SaveFile(pszPath);
}
