/* Resource ids shared by the resource script and the code; plain C for the resource compiler. */
#pragma once

#define IDD_ABOUT 101
#define IDC_ABOUT_TEXT 2001
#define IDC_ABOUT_OK 2002
