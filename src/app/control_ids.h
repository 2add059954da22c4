// Control and command identifiers of the main window. Shared by the code
// and the resource script, so plain #defines only.
#ifndef TOLVANE_CONTROL_IDS_H
#define TOLVANE_CONTROL_IDS_H

#define IDC_TRAFFIC_LOG 5
#define IDC_CLEAR_LOG 7
#define IDC_PORT_LABEL 8
#define IDC_START_BUTTON 17
#define IDC_LOG_TOGGLE 28
#define IDC_DONGLE_INFO 40
#define IDC_CLEAR_USELESS 44
#define IDC_PORT_LIST 150
#define IDC_MARKED_COUNT 390

#define TILE_ID_BASE 400     /* DeviceTile of slot s is TILE_ID_BASE + s */
#define TIP_REFRESH_BASE 1400 /* posted command: refresh TileTooltip s */

#define CMD_ABOUT 104
#define CMD_EXIT 105

#define IDS_APP_TITLE 103
#define IDS_APP_CLASS 109
#define IDR_MAIN_MENU 109
#define IDR_ACCELERATORS 109
#define IDI_APP_LARGE 107
#define IDI_APP_SMALL 108
#define IDD_ABOUT 103

#endif
