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

// Phone window (dialog 131)
#define IDD_PHONE 131
#define IDC_NUMBER 1000
#define IDC_KEY_1 1008
#define IDC_KEY_2 1009
#define IDC_KEY_3 1010
#define IDC_KEY_4 1911
#define IDC_KEY_5 1012
#define IDC_KEY_6 1013
#define IDC_KEY_7 1014
#define IDC_KEY_8 1015
#define IDC_KEY_9 1016
#define IDC_KEY_STAR 1017
#define IDC_KEY_0 1018
#define IDC_KEY_POUND 1019
#define IDC_HANGUP 1020
#define IDC_SPEAKER_VOLUME 1021
#define IDC_MICROPHONE_VOLUME 1022
#define IDC_PAGE_ACCOUNT 1023        // web page /acct.php
#define IDC_PAGE_CALLBACK 1024       // web page /callback.php
#define IDC_PAGE_USER 1025           // web page /userlogin.php
#define IDC_AUDIO_SETTINGS 1026
#define IDC_RECORD_FOLDER 1027
#define IDC_MULTI_PARTY 1028         // hidden, never shown
#define IDC_BACKSPACE 1029
#define IDC_ACCOUNT_NUMBER 1030
#define IDC_CALL 1031
#define IDC_AD_PANEL 1032
#define IDC_KEY_BACK_UNUSED 1034     // hidden, never shown, no action
#define IDC_KEY_CLEAR_UNUSED 1035    // hidden, never shown, no action
#define IDC_STATUS 1040
#define IDC_CLOCK 1041
#define IDC_RECORD 1044
#define IDC_SPEAKER_LEVEL 1045
#define IDC_MICROPHONE_LEVEL 1046
#define IDC_MUTE_SPEAKER 1048
#define IDC_MUTE_MICROPHONE 1049
#define IDC_CLEAR_HISTORY 1077
#define IDC_SOUND_QUALITY 1078       // shown while the other party's phone rings
#define IDC_PAGE_AGENT 1079          // web page /userloginma.php; hidden, never shown
#define IDC_BALANCE 1136

// Audio device settings (dialog 133)
#define IDD_AUDIO_SETTINGS 133
#define IDC_ECHO_CANCEL 1002         // "a11" of Call.xml
#define IDC_NOISE_REDUCTION 1003     // "a22"
#define IDC_AUTO_GAIN 1004           // "a33"
#define IDC_AUDIO_APPLY 1035
#define IDC_AUDIO_CANCEL 1036
#define IDC_OUTPUT_DEVICE 1038
#define IDC_INPUT_DEVICE 1039

// Multi-party window (dialog 159): three lines of number, call, hang-up and status
#define IDD_MULTI_PARTY 159
#define IDC_LINE1_NUMBER 1001
#define IDC_LINE2_NUMBER 1002
#define IDC_LINE3_NUMBER 1003
#define IDC_LINE1_CALL 1034
#define IDC_LINE2_CALL 1036
#define IDC_LINE3_CALL 1038
#define IDC_LINE1_HANGUP 1035
#define IDC_LINE2_HANGUP 1437
#define IDC_LINE3_HANGUP 1039
#define IDC_LINE1_STATUS 1050
#define IDC_LINE2_STATUS 1051
#define IDC_LINE3_STATUS 1052

// Sound-quality help (dialog 160): no controls, the skin draws its content
#define IDD_SOUND_QUALITY 160

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
