// Resource ids of KvorClientSP.
#pragma once

#define IDR_MENUBAR 100
#define IDM_TMC 101
#define IDM_QUIT 102
#define IDS_APP_TITLE 106
#define IDD_KEYPAD 108
#define IDI_APP 120
#define IDS_TMC 140
#define IDS_QUIT 141

// KeypadDialog: the status line, then a label, a list box and its up-down
// control per setting.
#define IDC_STATUS 118
#define IDC_PORT_LIST 119
#define IDC_PORT_LABEL 120
#define IDC_BAND_LIST 121
#define IDC_BAND_LABEL 122
#define IDC_DATA_LIST 123
#define IDC_DATA_LABEL 124
#define IDC_SOUND_LIST 125
#define IDC_SOUND_LABEL 126
#define IDC_MUTE_LIST 127
#define IDC_MUTE_LABEL 128
#define IDC_LOG_LIST 129
#define IDC_LOG_LABEL 130
#define IDC_PROTOCOL_LIST 131
#define IDC_PROTOCOL_LABEL 132
#define IDC_PORT_SPIN 115
#define IDC_BAND_SPIN 133
#define IDC_DATA_SPIN 134
#define IDC_SOUND_SPIN 135
#define IDC_MUTE_SPIN 136
#define IDC_LOG_SPIN 137
#define IDC_PROTOCOL_SPIN 138
