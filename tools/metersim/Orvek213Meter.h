#pragma once

#include "Meter.h"

// The ОРВЕК-213/223 stand-in meter.
