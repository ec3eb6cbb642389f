#pragma once

#include <QtGlobal>

// The device choice of the main window; its item index.
enum DeviceFamily : int {
    FamilyOrvek307 = 0, // ОРВЕК-306/307/308
    FamilyIlm = 1,      // ИЛЬМ
    FamilyOrvek213 = 2, // ОРВЕК-213/223
};

// A bus address on the line (0..255).
using BusAddress = quint8;
