// Custom drawing of marked tiles and the tiles' balloon tooltips.
#ifndef TOLVANE_TILES_H
#define TOLVANE_TILES_H

#include <windows.h>
#include <commctrl.h>

LRESULT DrawTile(NMCUSTOMDRAW *record);
HBRUSH MakeGradientBrush(COLORREF top, COLORREF bottom, const NMCUSTOMDRAW *record);
void RefreshTileTooltip(HWND mainWindow, WORD identifier);
HWND AttachTileTooltip(int slot, HWND mainWindow, const char *text);
void ReleaseTileBrushes(void);
// The brush cached for a tile in one state, or null (for inspection).
HBRUSH TileBrush(int slot, bool hot);

#endif
