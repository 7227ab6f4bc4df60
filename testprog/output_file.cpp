#include "testprog/output_file.h"

#include <cerrno>
#include <cstring>
#include <iostream>

namespace testprog {

namespace {

// "<program>: error writing <file>: <reason>", the reason from errno when
// the failing call left one.
void reportWriteError(const char* programName, const char* fileName,
                      int error) {
  std::cerr << programName << ": error writing " << fileName;
  if (error != 0) std::cerr << ": " << std::strerror(error);
  std::cerr << std::endl;
}

}  // namespace

OutputFile::OutputFile(const char* programName, const char* fileName)
    : programName_(programName), fileName_(fileName) {}

bool OutputFile::open() {
  stream_.open(fileName_, std::ios::out | std::ios::trunc);
  if (!stream_) {
    std::cerr << "Can't open " << fileName_ << " for output: Exiting!\n"
              << std::flush;
    return false;
  }
  return true;
}

bool OutputFile::close() {
  // A failed write leaves errno as the failing system call set it; the
  // loops stop at the first failed line, so nothing has overwritten it.
  int error = errno;
  if (!stream_) {
    reportWriteError(programName_, fileName_, error);
    return false;
  }
  errno = 0;
  stream_.close();
  if (!stream_) {
    reportWriteError(programName_, fileName_, errno);
    return false;
  }
  return true;
}

}  // namespace testprog
