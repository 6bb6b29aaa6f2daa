// Delete-on-close files that outlive their process. Windows deletes such a
// file when its last handle goes, however the process ends; POSIX keeps the
// name of a file whose owner was killed. The layer marks each such file and
// holds a lock on it while a handle is open, so the next process of the layer
// that opens that name finds it orphaned and removes it first.
#pragma once

#include <string>

namespace zrwin {

// Marks the file open on fd as delete-on-close and holds the owner's lock on
// it for as long as fd stays open (the lock goes with the descriptor, also
// when the process is killed).
void MarkDeleteOnClose(int fd);

// Removes the file at path when it is marked delete-on-close and no process
// holds it open any more. Anything else is left alone.
void RemoveIfOrphaned(const std::string& path);

}  // namespace zrwin
