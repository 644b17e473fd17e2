#pragma once
#define IDD_PROBE 9001
#define IDC_STATUS 9010
#define IDC_NAME 9011
#define IDC_GREET 9012
#define IDC_REMEMBER 9013
#define IDC_FINISH 9014
