// Caudio: the audio device settings window (dialog 133), opened modally by the phone
// window. It lists the sound output and input devices, switches echo cancellation, noise
// reduction and automatic gain of the call-control instance at once, and on Apply stores
// the chosen devices and switch states in Audio.xml and Call.xml and keeps them as its
// result (Choice), which the phone window takes after the modal run and gives to the
// library before its next call.
#pragma once
#include <string>
#include "AudioChoice.h"
#include "SkinnedDialog.h"
#include "XmlDoc.h"
#include "callctl.h"

class Caudio : public CSkinnedDialog {
public:
    enum { IDD = 133 };

    // hInst: the instance whose processing the switches change; saved: the devices the
    // lists select and the switches' states when the window opens.
    Caudio(CWnd* pParent, SIPX_INST hInst, const AudioChoice& saved);

    // True once Apply went through; Choice is then what it stored, else what was saved.
    bool Applied() const { return m_bApplied; }
    const AudioChoice& Choice() const { return m_choice; }

protected:
    void DoDataExchange();
    BOOL OnInitDialog() override;

private:
    void FillDeviceLists();
    static void SelectSavedName(const CWnd& list, const std::string& strName);
    static std::string SelectedKey(const CWnd& list);
    void OnEchoCancel();
    void OnNoiseReduction();
    void OnAutoGain();
    void OnApply();
    void OnCancelButton();
    int Checked(const CWnd& box) const;

    SIPX_INST m_hInst;
    AudioChoice m_choice;
    bool m_bApplied = false;
    HICON m_hIcon;
    CWnd m_cbOutput;            // 1038
    CWnd m_cbInput;             // 1039
    CWnd m_chkEchoCancel;       // 1002
    CWnd m_chkNoiseReduction;   // 1003
    CWnd m_chkAutoGain;         // 1004
    CXmlDoc m_xmlAudio;         // Audio.xml
    CXmlDoc m_xmlCall;          // call.xml
};
