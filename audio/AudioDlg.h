// Caudio: the audio device settings window (dialog 133), opened modally by the phone
// window. It lists the sound output and input devices, switches echo cancellation, noise
// reduction and automatic gain of the call-control instance at once, and on Apply hands
// the chosen devices and switch states to the phone window and stores them in Audio.xml
// and Call.xml. The phone window gives the devices to the library before its next call.
#pragma once
#include <string>
#include "SkinnedDialog.h"
#include "XmlDoc.h"

class CDial;

class Caudio : public CSkinnedDialog {
public:
    enum { IDD = 133 };

    // pPhone: the phone window that opens the window; it must outlive it.
    explicit Caudio(CDial* pPhone);

    // Copied from the phone window before the window opens.
    std::string m_strSavedOutputDevice;
    std::string m_strSavedInputDevice;
    int m_nSavedEchoCancel = 0;
    int m_nSavedNoiseReduction = 0;
    int m_nSavedAutoGain = 0;

protected:
    void DoDataExchange();
    BOOL OnInitDialog() override;

private:
    void FillDeviceLists();
    static void SelectSavedName(const CWnd& list, const std::string& strName);
    void OnEchoCancel();
    void OnNoiseReduction();
    void OnAutoGain();
    void OnApply();
    void OnCancelButton();
    int Checked(const CWnd& box) const;

    CDial* m_pPhone;
    HICON m_hIcon;
    CWnd m_cbOutput;            // 1038
    CWnd m_cbInput;             // 1039
    CWnd m_chkEchoCancel;       // 1002
    CWnd m_chkNoiseReduction;   // 1003
    CWnd m_chkAutoGain;         // 1004
    CXmlDoc m_xmlAudio;         // Audio.xml
    CXmlDoc m_xmlCall;          // call.xml
};
