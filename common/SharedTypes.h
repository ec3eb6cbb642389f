#pragma once

#include <QtGlobal>

// The device choice of the main window; its item index.
enum DeviceFamily : int {
    FamilyOrvek307 = 0, // ОРВЕК-306/307/308
    FamilyIlm = 1,      // ИЛЬМ
    FamilyOrvek213 = 2, // ОРВЕК-213/223
};

// Bus address of the device being read.
using DeviceAddress = quint8;
