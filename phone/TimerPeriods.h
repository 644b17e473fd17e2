// The periods of the program's window timers, in milliseconds, in one table. The windows
// read them each time they set a timer. Tests shorten the waits they would otherwise sit
// through (the balance query after a call) and keep the others; the program never
// changes them.
#pragma once
#include <windows.h>

struct TimerPeriods {
    UINT nCallClock = 984;      // the phone window's and the party lines' call clocks
    UINT nLevels = 50;          // the phone window's level bars, from the registration on
    UINT nQuietLevels = 250;    // the same while no call is up and both bars have shown 0 for a second
    UINT nToneOff = 100;        // a keypad tone during a call lasts this long after the last key
    UINT nBalanceDelay = 4000;  // the balance is asked for this long after a call ended
    UINT nCallQuality = 3000;   // the phone window's call-quality figure, while a call is up
    UINT nBusyPicture = 80;     // the login window's turning picture while it verifies
};

// The table the windows read.
TimerPeriods& ThePeriods();
