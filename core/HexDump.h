#pragma once

#include <QString>

// ">> " or "<< " followed by " XX" per byte: how the exchange log shows a frame.
QString HexDump(const char* prefix, const quint8* bytes, int length);
