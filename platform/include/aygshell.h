// The Windows Mobile shell: full-screen dialogs and the soft-key menu bar.
#pragma once

#include "commctrl.h"
#include "winuser.h"

typedef struct tagSHINITDLGINFO {
    DWORD dwMask;
    HWND hDlg;
    DWORD dwFlags;
} SHINITDLGINFO, *PSHINITDLGINFO;

#define SHIDIM_FLAGS 0x0001
#define SHIDIF_DONEBUTTON 0x0001
#define SHIDIF_SIZEDLG 0x0002
#define SHIDIF_SIZEDLGFULLSCREEN 0x0004
#define SHIDIF_SIPDOWN 0x0008
#define SHIDIF_FULLSCREENNOMENUBAR 0x0010
#define SHIDIF_EMPTYMENU 0x0020

// The device's record is 36 bytes in its 32-bit build; here the window and
// instance fields are pointer-sized, so cbSize is sizeof(SHMENUBARINFO).
typedef struct tagSHMENUBARINFO {
    DWORD cbSize;
    HWND hwndParent;
    DWORD dwFlags;
    UINT nToolBarId;
    HINSTANCE hInstRes;
    int nBmpId;
    int cBmpImages;
    HWND hwndMB;
    COLORREF clrBk;
} SHMENUBARINFO, *PSHMENUBARINFO;

#define SHCMBF_EMPTYBAR 0x0001
#define SHCMBF_HIDDEN 0x0002
#define SHCMBF_HIDESIPBUTTON 0x0004
#define SHCMBF_COLORBK 0x0008
#define SHCMBF_HMENU 0x0010

// Soft-key bar resource (an RCDATA of the bar's id, beside a MENU of the same
// id for the soft keys that open a menu).
#ifdef RC_INVOKED
#define SHMENUBAR RCDATA
#endif
#define I_IMAGENONE (-2)
#define TBSTATE_ENABLED 0x04
#define TBSTYLE_BUTTON 0x0000
#define TBSTYLE_DROPDOWN 0x0008
#define TBSTYLE_AUTOSIZE 0x0010
#define NOMENU 0xFFFF

BOOL SHInitDialog(PSHINITDLGINFO info);
BOOL SHCreateMenuBar(SHMENUBARINFO* info);
