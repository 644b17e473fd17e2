// yuyin: the sound-quality help window (dialog 160), opened modally from the phone
// window's button 1078 while a call rings or is up. It has no controls: the skin paints
// the advice on headsets, microphones, volume and network. Only its close box closes it.
#pragma once
#include "SkinnedDialog.h"

class yuyin : public CSkinnedDialog {
public:
    enum { IDD = 160 };
    explicit yuyin(CWnd* pParent = nullptr);

protected:
    BOOL OnInitDialog() override;
};
