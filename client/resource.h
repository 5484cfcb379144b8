// Resource ids of KvorClient.
#pragma once

#define IDS_APP_TITLE 1
#define IDS_EXIT 103
#define IDS_MENU 104
#define IDI_APP 101

#define IDD_MAIN 136
#define IDD_ABOUT 105
#define IDD_TMC_TEST 135
#define IDR_MENUBAR 138

// Commands of the soft keys and their menu.
#define IDM_MENU 40001
#define IDM_ABOUT 40002
#define IDM_EXIT 40003
#define IDM_TEST 32784

// MainDialog.
#define IDC_TMC 1011
#define IDC_PORT 1012
#define IDC_BAND 1013
#define IDC_DATA 1014
#define IDC_SOUND 1015
#define IDC_MUTE 1016
#define IDC_LOGMODE 1017
#define IDC_PROTOCOL 1018
#define IDC_STATUS 1019

// TmcTestDialog.
#define IDC_SEEK_DOWN 1000
#define IDC_STEP_DOWN 1001
#define IDC_STEP_UP 1002
#define IDC_SEEK_UP 1003
#define IDC_FREQUENCY 1005
#define IDC_SET 1006
#define IDC_AUTO 1007
#define IDC_RECEIVE_LOG 1008
#define IDC_SEND_LOG 1009
#define IDC_LEVEL 1023
#define IDC_INDICATOR 1024
