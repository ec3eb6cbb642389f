#pragma once

#include "Meter.h"

// The ИЛЬМ stand-in meter (family 1).
