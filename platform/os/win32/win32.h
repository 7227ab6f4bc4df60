// Inside the seam, Win32 only: what the OS services and the driver backend
// share, and what the Windows tests reach directly.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace platform::win32 {

// The system's event-handle converter: an event's OS handle in, the handle
// the driver can signal out.
using OpenVxDHandleFunction = DWORD(WINAPI*)(HANDLE event);

// The OS event behind a seam event handle, or null for a closed or stale one.
HANDLE nativeEvent(Handle event);

// True when the latest open selected the platform's own driver (as the seam
// told through os::selectPlatformDriver), the one backend that signals OS
// events itself.
bool nativeDriverSelected();

// What the converter hands the driver for a seam event handle: convert's
// result for the event's OS handle when the platform's driver is selected
// and convert exists, otherwise the seam handle unchanged. Null for a closed
// or stale handle that would go to convert.
Handle convertForDriver(Handle event, OpenVxDHandleFunction convert);

// Threads started by platform::startThread whose routine has not returned.
std::size_t runningThreads();

// A system error as one line: the system's text and its number, as in
// "The system cannot find the file specified (error 2)".
std::string errorText(DWORD error);

// The processor's 32-bit port instructions, for the platform's driver.
void portOut32(std::uint16_t port, std::uint32_t value);
std::uint32_t portIn32(std::uint16_t port);

}  // namespace platform::win32
