// Where the library keeps its files, and whether a directory may hold them.
//
// A directory is used only when its last component is a real directory (not a
// symbolic link) owned by the effective user and not writable by group or others, and
// no directory above it belongs to another user (root aside) or is writable by others
// without the sticky bit: anyone else who could write there could plant a cache or a
// database the library would trust, or read what it writes. A data directory refused once stays
// refused for the process (the library then keeps everything in memory); the refusal is reported
// once, through the channel given to setLogChannel.
//
// Thread-safe. No member calls out while holding the internal lock.
#pragma once

#include <string>

class OrvLogChannel;

class OrvDataDirectory {
 public:
  OrvDataDirectory() = delete;
  static void set(std::string path);
  // The directory set, or the per-user default: $XDG_DATA_HOME/orv-experiment, else
  // $HOME/.local/share/orv-experiment, else $XDG_RUNTIME_DIR/orv-experiment (a
  // per-user directory, used only when it is the user's and writable by nobody else),
  // and only then /tmp/orv-experiment-<uid>.
  static std::string get();
  // The per-user location of a directory called `name`: $XDG_DATA_HOME/NAME,
  // ~/.local/share/NAME, $XDG_RUNTIME_DIR/NAME, then /tmp/NAME-<uid>.
  static std::string perUser(const std::string& name);
  // Where the refusal of a data directory is reported (null: nowhere). `log` must
  // live forever.
  static void setLogChannel(const OrvLogChannel* log);

  // Creates `path` (and missing parents) owner-only when it does not exist, then
  // checks it as above. Returns false with a reason when it cannot be used.
  static bool ensureExists(const std::string& path, std::string* why);
  // The same check of an existing directory, creating nothing.
  static bool isSafe(const std::string& path, std::string* why);
  // What ensureUsable() decided. A directory is refused for good when it exists and is
  // unsafe; one that cannot be created yet is not usable now but may be later.
  struct Usability {
    bool usable = false;
    bool refused = false;  // final for the process, and reported once already
    explicit operator bool() const { return usable; }
  };
  // ensureExists() for a data directory: a refusal is final for the process.
  static Usability ensureUsable(const std::string& path, std::string* why);
  static bool isRefused(const std::string& path);

  // "" when the open file `fd` (named `file` in messages) is a regular file of this
  // user, made owner-only when it was not and `tighten` says so; otherwise what is wrong
  // with it. For the files kept in such a directory, opened without following links.
  static std::string ownFileProblem(int fd, const std::string& file, bool tighten = true);

  // Checks a SQLite database's files (`path`, its -wal and its -shm) before SQLite opens
  // them: never a symbolic link (one would lead SQLite, and the files it makes beside,
  // out of the directory), each a regular file of this user. With `create` (the caller
  // owns the database) they are made owner-only, and a missing main file is created
  // owner-only from its first byte (SQLite gives -wal and -shm the same mode); a main
  // file that is not empty and not a SQLite database keeps its mode (it is someone
  // else's file, named by mistake), and so does every file of a caller that only reads. False with
  // `*why` when a file is refused. A main file that cannot be opened otherwise is left to the
  // caller: `*mainErrno` is its errno (0 when it was checked); a missing -wal or -shm is fine.
  static bool checkDatabaseFiles(const std::string& path, bool create, std::string* why,
                                 int* mainErrno);
};
