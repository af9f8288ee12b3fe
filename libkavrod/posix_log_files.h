// The record log's files on a POSIX system: the directory locked with
// flock, appends with one write(2) on an O_APPEND descriptor, fdatasync.
#ifndef KAVROD_POSIX_LOG_FILES_H
#define KAVROD_POSIX_LOG_FILES_H

#include <memory>
#include <string>

#include "log_files.h"

namespace kavrod {

std::unique_ptr<LogDirectory> NewPosixLogDirectory(const std::string& path);

}  // namespace kavrod

#endif  // KAVROD_POSIX_LOG_FILES_H
