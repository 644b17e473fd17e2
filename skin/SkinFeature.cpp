// The four entry points of SkinFeature.dll (exported by ordinal, see SkinFeature.def).
#include "SkinFeature.h"
#include "SkinFile.h"
#include "SkinWindows.h"
#include <memory>

namespace {
// The skin in use; dressed dialogs keep the skin they were dressed with alive.
std::shared_ptr<const skin::Skin> g_skin;
}

extern "C" int SKINAPI SkinInit(void)
{
    g_skin.reset();
    return TRUE;
}

extern "C" int SKINAPI SkinLoad(const char* pszFile, int /*nReserved*/)
{
    try {
        auto loaded = std::make_shared<skin::Skin>();
        if (!skin::LoadSkinFile(pszFile, *loaded))
            return FALSE;
        g_skin = std::move(loaded);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

extern "C" int SKINAPI SkinApply(HWND hWnd, int nDialogId)
{
    try {
        if (!g_skin)
            return FALSE;
        const skin::DialogPart* part = g_skin->Dialog(nDialogId);
        if (!part)
            return FALSE;
        return skin::DressDialog(hWnd, g_skin, *part) ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}

extern "C" int SKINAPI SkinExit(void)
{
    int dressed = 0;
    try {
        dressed = skin::UndressAll();
    } catch (...) {
        // Out of memory listing the windows: they keep the skin until they are destroyed.
    }
    g_skin.reset();
    return dressed;
}
