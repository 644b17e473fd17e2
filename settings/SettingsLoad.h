// Shared by the settings procedures.
#pragma once

#include "XmlDoc.h"

#include <string>

// Empties the document, then loads the file: LoadFile's result.
bool LoadSettingsFile(CXmlDoc& doc, const char* pszPath);

// A decimal attribute value: leading digits (with an optional sign), 0 for none.
int SettingsNumber(const std::string& strValue);
