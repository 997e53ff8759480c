#pragma once

namespace platform {

// Raises the process's soft limit of open descriptors to its hard limit. A program that serves
// or links conversations holds a descriptor per peer, and the soft limit (1024 on many
// desktops) is reached long before the hard one. A limit that cannot be raised stays as it was.
void raiseDescriptorLimit();

} // namespace platform
