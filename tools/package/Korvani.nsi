; The subscriber's installer: a per-user installation without elevation into
; %LOCALAPPDATA%\Programs\Korvani, Start-menu and desktop shortcuts that start the
; program in its own folder (it opens its settings files and Record in the current
; directory), and an entry in the user's list of installed programs.
;
; Upgrades replace the program files and never the subscriber's data: Login.xml,
; Audio.xml and Call.xml are written only when missing, and nothing in Record is
; touched. The uninstaller leaves that data unless the subscriber asks to remove it.
;
; scripts/package runs makensis with:
;   /DSTAGE=<folder with the files to install>   /DOUTFILE=<installer>
;   /DVERSION=1.10   /DVERSION4=1.10.0.0   /DICON=<program icon>
Unicode true
SetCompressor /SOLID lzma

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!ifndef STAGE | OUTFILE | VERSION | VERSION4
  !error "STAGE, OUTFILE, VERSION and VERSION4 are given by scripts/package"
!endif

!define PRODUCT "Korvani网络电话"
!define PUBLISHER "Korvani"
; The running program: its single-instance mutex and its windows' caption.
!define RUNNING_MUTEX "onlyonehwnd"
!define RUNNING_CAPTION "Korvani网络电话${VERSION}"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvani"
!define SHORTCUT "${PRODUCT}.lnk"
!define UNINSTALL_SHORTCUT "卸载 ${PRODUCT}.lnk"
; Exit codes of a silent run that stopped.
!define EXIT_RUNNING 3

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Korvani"
InstallDirRegKey HKCU "${UNINST_KEY}" "InstallLocation"
RequestExecutionLevel user
ShowInstDetails show
ShowUninstDetails show
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=2052 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "FileDescription" "${PRODUCT} ${VERSION} 安装程序"
VIAddVersionKey /LANG=2052 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=2052 "LegalCopyright" "GPL-3.0-or-later"

!ifdef ICON
  !define MUI_ICON "${ICON}"
  !define MUI_UNICON "${ICON}"
!endif
!define MUI_ABORTWARNING

!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "运行 ${PRODUCT}"
!define MUI_FINISHPAGE_RUN_FUNCTION StartProgram

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "SimpChinese"

; Waits until no copy of the program runs: the subscriber closes it and retries, or
; cancels. A silent run cannot ask and stops with EXIT_RUNNING.
!macro WAIT_UNTIL_CLOSED un
Function ${un}WaitUntilClosed
  Push $0
  Push $1
  retry:
    StrCpy $1 0
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${RUNNING_MUTEX}") p .r0'
    ${If} $0 P<> 0
      System::Call 'kernel32::CloseHandle(p r0)'
      StrCpy $1 1
    ${EndIf}
    FindWindow $0 "" "${RUNNING_CAPTION}"
    ${If} $0 P<> 0
      StrCpy $1 1
    ${EndIf}
    ${If} $1 = 1
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
        "${PRODUCT}正在运行。$\r$\n请先退出${PRODUCT}，然后点击“重试”；点击“取消”退出。" \
        /SD IDCANCEL IDRETRY retry
      SetErrorLevel ${EXIT_RUNNING}
      Quit
    ${EndIf}
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro WAIT_UNTIL_CLOSED ""
!insertmacro WAIT_UNTIL_CLOSED "un."

Function .onInit
  Call WaitUntilClosed
FunctionEnd

Function StartProgram
  SetOutPath "$INSTDIR"
  Exec '"$INSTDIR\Quillon.exe"'
FunctionEnd

; A settings file as shipped, only where the subscriber has none yet.
!macro SETTINGS_FILE name
  ${IfNot} ${FileExists} "$INSTDIR\${name}"
    File "${STAGE}\${name}"
  ${Else}
    DetailPrint "保留现有的 ${name}"
  ${EndIf}
!macroend

Section "-program"
  ; The program may have been started while the pages were shown.
  Call WaitUntilClosed

  SetOutPath "$INSTDIR"
  SetOverwrite on
  File "${STAGE}\Quillon.exe"
  File "${STAGE}\callctl.dll"
  File "${STAGE}\SkinFeature.dll"
  File "${STAGE}\superxp.rss"
  !insertmacro SETTINGS_FILE Login.xml
  !insertmacro SETTINGS_FILE Audio.xml
  !insertmacro SETTINGS_FILE Call.xml
  CreateDirectory "$INSTDIR\Record"

  ; The licences are ours alone: replace the whole folder.
  RMDir /r "$INSTDIR\licenses"
  SetOutPath "$INSTDIR\licenses"
  File /r "${STAGE}\licenses\*.*"

  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Shortcuts take the output folder as their working folder. The Start menu gets a
  ; folder of its own with the program and its uninstaller; the shortcut that earlier
  ; versions put straight into Programs goes.
  SetOutPath "$INSTDIR"
  Delete "$SMPROGRAMS\${SHORTCUT}"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${SHORTCUT}" "$INSTDIR\Quillon.exe" "" "$INSTDIR\Quillon.exe" 0
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${UNINSTALL_SHORTCUT}" "$INSTDIR\uninstall.exe" "" "$INSTDIR\uninstall.exe" 0
  CreateShortcut "$DESKTOP\${SHORTCUT}" "$INSTDIR\Quillon.exe" "" "$INSTDIR\Quillon.exe" 0

  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\Quillon.exe,0"
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" "$0"
SectionEnd

Function un.onInit
  Call un.WaitUntilClosed
FunctionEnd

Section "Uninstall"
  Call un.WaitUntilClosed

  Delete "$INSTDIR\Quillon.exe"
  Delete "$INSTDIR\callctl.dll"
  Delete "$INSTDIR\SkinFeature.dll"
  Delete "$INSTDIR\superxp.rss"
  RMDir /r "$INSTDIR\licenses"
  Delete "$INSTDIR\uninstall.exe"

  Delete "$SMPROGRAMS\${PRODUCT}\${SHORTCUT}"
  Delete "$SMPROGRAMS\${PRODUCT}\${UNINSTALL_SHORTCUT}"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  Delete "$SMPROGRAMS\${SHORTCUT}"
  Delete "$DESKTOP\${SHORTCUT}"
  DeleteRegKey HKCU "${UNINST_KEY}"

  ; The subscriber's settings, recordings and support log stay unless asked for.
  MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 \
    "是否同时删除您的设置（帐号记录、音频和通话设置）和 Record 文件夹中的录音？" \
    /SD IDNO IDNO keep
    Delete "$INSTDIR\Login.xml"
    Delete "$INSTDIR\Audio.xml"
    Delete "$INSTDIR\Call.xml"
    Delete "$INSTDIR\Quillon.log"
    Delete "$INSTDIR\Quillon.log.1"
    RMDir /r "$INSTDIR\Record"
  keep:
  ; Removed only when nothing is left in it.
  RMDir "$INSTDIR"
SectionEnd
