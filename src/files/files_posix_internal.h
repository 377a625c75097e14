#pragma once

// What the Linux files of the files room share.

#include <cstddef>

namespace relauncher {

// Writes all of `data`, going on after interruptions and short writes. False, with errno
// set, when the descriptor refuses.
bool write_all(int fd, const void* data, std::size_t size);

}  // namespace relauncher
