// Ids of resources_test.rc, shared with the test as a program shares its
// resource.h.
#define IDS_HELLO 1
#define IDS_QUOTE 2
#define IDS_UNICODE 15
#define IDS_EMPTY 14
#define IDS_SECOND_BLOCK 16

#define IDI_APP 101
#define IDD_MAIN 102
#define IDD_PLAIN 103
#define IDR_MAIN_MENU 104
#define IDR_TABLE 105
#define IDR_SDK_VALUES 106

#define IDC_FREQ 1001
#define IDC_SPIN 1002
#define IDC_BAND 1003
#define IDC_LIST 1004
#define IDC_TUNE 1005
#define IDC_LOGO 1006
#define IDC_LEVEL 1007
#define IDC_CHECK 1008

#define IDM_SCAN 40001
#define IDM_EXIT 40002
#define IDM_HELP 40003
#define IDM_OK 40004
#define IDM_MENU 40005

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
