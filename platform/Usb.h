#pragma once

// How the system lets a program at a USB device, which decides what a
// refused open means and what the user can do about it.

namespace qd::platform {

// Windows lets a program at a USB device only through the driver bound to
// it (WinUSB, bound by an INF), which one program at a time may open;
// elsewhere the kernel's device files are opened as their permissions (a
// udev rule's) allow, and a claim of the interface says who has it.
#ifdef _WIN32
inline constexpr bool kUsbThroughBoundDriver = true;
#else
inline constexpr bool kUsbThroughBoundDriver = false;
#endif

} // namespace qd::platform
