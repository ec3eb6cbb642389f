#pragma once

#include "Meter.h"

// The ОРВЕК-306/307/308 stand-in meter.
