// What the record log asks of the operating system: a directory it holds
// against a second link driver, and the files in it. The record log itself
// is portable; one implementation of this per system (POSIX here, Win32 in
// KAVROD32.dll) and a fake in the tests.
#ifndef KAVROD_LOG_FILES_H
#define KAVROD_LOG_FILES_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kavrod {

// One open file of the log. Errors are the system's codes, 0 for success;
// LogDirectory::Describe says them.
class LogFile {
 public:
  virtual ~LogFile() = default;
  // Writes all of `data` at the end of the file, in one call where the
  // system allows: either it all reaches the system or the call fails.
  virtual int Append(const void* data, size_t size) = 0;
  // The file's data reaches the disk.
  virtual int Sync() = 0;
  // Reads up to `size` bytes at `offset`; `*got` is how many came.
  virtual int ReadAt(uint64_t offset, void* data, size_t size, size_t* got) = 0;
  virtual int Truncate(uint64_t size) = 0;
  virtual int Size(uint64_t* size) = 0;
};

class LogDirectory {
 public:
  virtual ~LogDirectory() = default;
  // Creates the directory when missing and takes it for this process: a
  // second process (a second link driver on the same directory) is refused
  // for as long as this one runs. False with a line saying why.
  virtual bool Lock(std::string* error) = 0;
  // The names of the log's files (those ending in `suffix`), in no order.
  virtual bool List(const char* suffix, std::vector<std::string>* names, std::string* error) = 0;
  // Opens `name` for reading and appending; `create` makes a new empty
  // file (an existing one is emptied).
  virtual std::unique_ptr<LogFile> Open(const std::string& name, bool create, int* error) = 0;
  virtual int Remove(const std::string& name) = 0;
  // Moves `names` into a new folder of the directory, named in `*where`, so
  // that a new log can start beside them.
  virtual bool SetAside(const std::vector<std::string>& names, std::string* where, std::string* error) = 0;
  virtual std::string Describe(int error) const = 0;
  // The directory as the operator named it.
  virtual std::string Path() const = 0;
};

}  // namespace kavrod

#endif  // KAVROD_LOG_FILES_H
