// One program per card: an open takes an advisory lock on the device's config
// file (flock, exclusive, never waiting) and holds it until the close. Such a
// lock belongs to one open file description, so a second open of the card is
// refused whether it comes from another program or from this one.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform::linuxpci {

// Takes the card through fd, the device's config file open for this
// connection. False with *failure naming the device and, where the system
// tells, the process that holds it.
bool lockCard(int fd, const std::string& device, std::string* failure);

// Gives the card up before fd is closed (closing it does as well).
void unlockCard(int fd);

// The failure of an open that finds the card held; holder 0 when unknown.
std::string inUseFailure(const std::string& device, pid_t holder);

// The process holding a flock on the file behind fd, from /proc/locks; 0 when
// the system does not tell.
pid_t flockHolder(int fd);

}  // namespace platform::linuxpci
