#pragma once

// Resource numbers of the program. They keep the numbers the radio's owners'
// documentation uses, so that a command id seen in a trace means the same
// button everywhere.

inline constexpr int IDM_ABOUTBOX = 16;
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_FRONTPANEL = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDR_KEYPAD_ACCEL = 129;
inline constexpr int IDR_LCD_FONT = 131;

// The button id of the dialogs' OK command (Exit on the front panel).
inline constexpr int IDOK = 1;
