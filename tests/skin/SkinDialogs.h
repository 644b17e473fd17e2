// Dialogs of the skin tests: test copies of the program's skinned dialogs (same ids,
// controls and positions) and two small dialogs of the tests' own.
#pragma once
#define IDD_LOGIN 102
#define IDD_PHONE 131
#define IDD_AUDIO 133
#define IDD_PARTY 159
#define IDD_SOUNDHELP 160
// A dialog with a default button, captions of its own and a plain static text.
#define IDD_DEFAULTS 9201
#define IDC_DEF_STATUS 9210
#define IDC_DEF_EDIT 9211
#define IDC_DEF_OTHER 9212
