// loadsave/target.hpp: a file written in place, its room reserved before its
// old bytes are given up, so that a save the file system has no space for
// fails with the old file whole, where truncating at open (what mode "wb"
// does) would already have lost it. No Python here, and nothing that needs
// the interpreter's lock.
#pragma once
#include <cstdint>
#include <span>

namespace corvane {

struct Written {
  enum Kind : uint8_t {
    Done,        // the file holds the pieces, and nothing after them
    NotTaken,    // not done here, nothing written: the caller opens the file its own way
    OpenFailed,  // the file could not be opened; err is why
    Failed,      // err is why: the room could not be had (the file untouched), or a
                 // write or the close failed (the file holds what was written)
    Stopped,     // interrupted, and told not to go on: as Failed, the caller's reason stands
  };
  Kind kind = NotTaken;
  int err = 0;
};

// The pieces, in order, as the whole of the file `name` (created with mode
// 0666 less the umask when missing, else keeping its inode and permission
// bits). A file that can be sought in has the pieces' total reserved first
// (fallocate without changing its size; a file system that cannot reserve is
// written without); when that finds no space (or quota, or a size the file
// may not reach) the file is left as it was. The pieces are then written
// from the start and the file cut to their end; a write that fails leaves
// the file cut to what was written, as a truncating open would have. A
// stream (a FIFO, a terminal) or a character device gets the pieces written
// through, as a plain open would give them. A call a signal interrupts (an
// open or a write that waits, on a FIFO say) is made again if go_on(context)
// says so, else ends as Stopped. Only on Linux; elsewhere always NotTaken.
Written write_in_place(const char *name, std::span<const std::span<const uint8_t>> pieces,
                       bool (*go_on)(void *context), void *context);

}  // namespace corvane
