// The record log's files on Windows: the directory held with an exclusive
// handle on its lock file, appends with WriteFile at the end the log keeps,
// FlushFileBuffers.
#ifndef KAVROD32_WIN32_LOG_FILES_H
#define KAVROD32_WIN32_LOG_FILES_H

#include <memory>
#include <string>

#include "log_files.h"

namespace kavrod32 {

std::unique_ptr<kavrod::LogDirectory> NewWin32LogDirectory(const std::string& path);

}  // namespace kavrod32

#endif  // KAVROD32_WIN32_LOG_FILES_H
