// Resource identifiers of the program. The numbers are fixed: other parts of the
// program, the skin file and stored habits of users refer to them.
#pragma once

// Icons
#define IDR_MAINFRAME 128

// Busy pictures of the login window, shown in turn while a sign-in is under way
#define IDB_BUSY_1 157
#define IDB_BUSY_2 155
#define IDB_BUSY_3 158

// WAVE sounds, played by resource id
#define IDW_DIGIT_1 134          // digits 1..9 are 134..142
#define IDW_DIGIT_0 143
#define IDW_STAR_POUND 144       // keys * and #
#define IDW_HANGUP 145
#define IDW_CLICK 148            // web pages, backspace, secondary windows, folder, clearing the history
#define IDW_PARTY_CALL 149       // a multi-party line's call placed
#define IDW_REFUSED 151          // input refused, sign-in or registration failed, number refused
#define IDW_REGISTERED 152       // line registered
#define IDW_NETWORK_END 153      // call ended by the network
#define IDW_CALLING 164          // call request sent

// Strings
#define IDS_ABOUTBOX 101
#define IDS_SERVER_URL 102      // the account server's base URL when none is given on the command line

// Login window (dialog 102)
#define IDD_LOGIN 102
#define IDC_ACCOUNT 1000
#define IDC_PASSWORD 1001
#define IDC_SAVE_ACCOUNT 1002
#define IDC_SAVE_PASSWORD 1003
#define IDC_SIGNIN 1004
#define IDC_SIGNUP 1005
#define IDC_RECOVER 1006
#define IDC_FORGET 1007
#define IDC_EXIT 1011
#define IDC_LOGIN_STATUS 1033
#define IDC_BUSY 1042

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
