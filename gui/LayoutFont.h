#pragma once

// The window and its dialog are laid out in Tahoma. Where the system has no face of
// that name (a Linux desktop), a metric-compatible free one is loaded when installed,
// so captions measure as they were laid out; otherwise the platform's fallback serves.
void EnsureLayoutFont();
