// Shared by the settings procedures.
#pragma once

#include "XmlDoc.h"

#include <string>

// Empties the document, then loads the file: LoadFile's result.
bool LoadSettingsFile(CXmlDoc& doc, const char* pszPath);

// Removes every child of the top element named `pszElement` whose `pszAttribute` is
// `strValue`; the document's position is left at the top element.
void RemoveSettingsElements(CXmlDoc& doc, const char* pszElement, const char* pszAttribute,
                            const std::string& strValue);

// A decimal attribute value: leading digits (with an optional sign), 0 for none.
int SettingsNumber(const std::string& strValue);
